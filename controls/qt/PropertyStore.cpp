#include "controls/qt/PropertyStore.h"

namespace quarnel {

PropertyStore::PropertyStore(std::initializer_list<std::pair<QString, QVariant>> values) {
    for (const auto& [key, value] : values) {
        values_[key.toLower()] = value;
    }
}

QVariant PropertyStore::ReadProperty(const QString& key, const QVariant& defaultValue) const {
    const auto found = values_.find(key.toLower());
    return found == values_.end() ? defaultValue : found->second;
}

void PropertyStore::WriteProperty(const QString& key, const QVariant& value,
                                  const QVariant& defaultValue) {
    QVariant comparable = defaultValue;
    if (comparable.metaType() != value.metaType()) {
        // A default that cannot be converted becomes null and so differs from the value.
        comparable.convert(value.metaType());
    }
    if (comparable == value) {
        values_.erase(key.toLower());
    } else {
        values_[key.toLower()] = value;
    }
}

QStringList PropertyStore::Keys() const {
    QStringList keys;
    for (const auto& entry : values_) {
        keys.append(entry.first);
    }
    return keys;
}

}  // namespace quarnel
