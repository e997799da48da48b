#include "app/IniSettingsStore.h"

#include <QSettings>
#include <QStringList>
#include <QVariant>

namespace quarnel {

// Keys without a group land in the file's [General] section.
QSettings IniSettingsStore::Open() const {
    if (!Path.isEmpty()) {
        return QSettings(Path, QSettings::IniFormat);
    }
    return QSettings(QSettings::IniFormat, QSettings::UserScope, "Quarnel", "Quarnel");
}

std::string IniSettingsStore::Read(const std::string& key, const std::string& defaultValue) {
    const QVariant value = Open().value(QString::fromStdString(key));
    if (!value.isValid()) {
        return defaultValue;
    }
    // An unquoted value with commas reads back as a list of its pieces.
    if (value.typeId() == QMetaType::QStringList) {
        return value.toStringList().join(',').toStdString();
    }
    return value.toString().toStdString();
}

void IniSettingsStore::Write(const std::string& key, const std::string& value) {
    Pending.emplace_back(QString::fromStdString(key), QString::fromStdString(value));
}

bool IniSettingsStore::Flush() {
    // A fresh QSettings for every write: its status keeps the first error for as long as the
    // object lives, so only a new one tells whether this write worked.
    QSettings settings = Open();
    for (const auto& [key, value] : Pending) {
        settings.setValue(key, value);
    }
    Pending.clear();
    settings.sync();
    return settings.status() == QSettings::NoError;
}

std::string IniSettingsStore::Location() const {
    return Open().fileName().toStdString();
}

}  // namespace quarnel
