#pragma once

#include <initializer_list>
#include <map>
#include <utility>

#include <QString>
#include <QStringList>
#include <QVariant>

namespace quarnel {

// The saved design of one button: named values, keys matched without regard to case and kept
// in lower case. Reading an absent key gives the default it is read with; writing a value equal
// to its default stores nothing (and forgets an earlier value), so a store holds only what
// differs from the defaults.
//
// A window builds its buttons from a store that names what it changes, for example:
//
//     QFont font("MS Sans Serif");
//     font.setPointSizeF(9.75);
//     Command cmdAdd{&window};
//     cmdAdd.ReadProperties(PropertyStore{{"caption", "&Add"}, {"font", font}});
//
// and every key it leaves out takes its default (see Command::ReadProperties).
class PropertyStore {
public:
    PropertyStore() = default;
    // A store holding these values as they are, defaults or not.
    PropertyStore(std::initializer_list<std::pair<QString, QVariant>> values);

    // The stored value of key, or defaultValue when there is none.
    QVariant ReadProperty(const QString& key, const QVariant& defaultValue) const;
    // Stores value under key unless it equals defaultValue. A default of another type is
    // converted to the value's type first, so the text "1" equals the number 1.
    void WriteProperty(const QString& key, const QVariant& value, const QVariant& defaultValue);

    // The stored keys, lower case, sorted.
    QStringList Keys() const;

private:
    std::map<QString, QVariant> values_;
};

}  // namespace quarnel
