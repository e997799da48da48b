#include "settings/IniSettingsStore.h"

#include <QSettings>
#include <QStandardPaths>
#include <QStringList>
#include <QVariant>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "engine/Settings.h"
#include "settings/RegularFile.h"

namespace quarnel {

namespace {

// Keys without a group land in the file's [General] section.
QSettings OpenSettings() {
    return QSettings(QSettings::IniFormat, QSettings::UserScope, "Quarnel", "Quarnel");
}

// Larger than any list of rules a person keeps: such a file is not ours.
constexpr std::size_t kLargestFile = 1 << 20;

enum class Contents { Missing, Read, TooLarge, Failed };

// The whole file at path, without ever waiting: only a regular file is read. why tells a
// failure.
Contents ReadSettingsFile(const std::string& path, std::string& text, std::string& why) {
    FileReading file = ReadRegularFile(path, kLargestFile);
    text = std::move(file.Bytes);
    switch (file.Result) {
        case FileReading::Outcome::Read:
            return Contents::Read;
        case FileReading::Outcome::Missing:
            return Contents::Missing;
        case FileReading::Outcome::TooLarge:
            return Contents::TooLarge;
        case FileReading::Outcome::NotRegular:
            why = "not a regular file";
            return Contents::Failed;
        case FileReading::Outcome::NoAccess:
        case FileReading::Outcome::Failed:
            break;
    }
    why = std::strerror(file.Error);
    return Contents::Failed;
}

// Renames the file at path to a free name beside it that says why; the new path, or empty.
std::string SetAside(const std::string& path, std::string& why) {
    namespace fs = std::filesystem;
    for (int n = 1; n < 100; ++n) {
        std::string aside = path + ".not-understood";
        if (n > 1) {
            aside += '-';
            aside += std::to_string(n);
        }
        std::error_code error;
        if (fs::exists(fs::symlink_status(aside, error))) {
            continue;
        }
        if (std::rename(path.c_str(), aside.c_str()) == 0) {
            return aside;
        }
        why = std::strerror(errno);
        return {};
    }
    why = "no free name beside it";
    return {};
}

}  // namespace

void IniSettingsStore::Inspect() const {
    if (inspected_) {
        return;
    }
    inspected_ = true;
    const std::string path = Location();
    std::string text, why;
    const Contents contents = ReadSettingsFile(path, text, why);
    if (contents == Contents::Missing) {
        return;
    }
    if (contents == Contents::Failed) {
        found_ = {StoreCondition::Kind::Unreadable, why};
        return;
    }
    if (contents == Contents::Read && IsSettingsText(text)) {
        QSettings settings = OpenSettings();
        (void)settings.allKeys();  // read now: its status tells whether it parsed
        if (settings.status() == QSettings::NoError) {
            return;
        }
    }
    const std::string aside = SetAside(path, why);
    if (aside.empty()) {
        found_ = {StoreCondition::Kind::Unreadable, "not understood, and not renamed: " + why};
        return;
    }
    found_ = {StoreCondition::Kind::SetAside, aside};
}

StoreCondition IniSettingsStore::Condition() const {
    Inspect();
    return found_;
}

std::string IniSettingsStore::Read(const std::string& key, const std::string& defaultValue) {
    Inspect();
    if (found_.State == StoreCondition::Kind::Unreadable) {
        return defaultValue;
    }
    const QVariant value = OpenSettings().value(QString::fromStdString(key));
    return value.isValid() ? StoredText(value) : defaultValue;
}

std::string StoredText(const QVariant& value) {
    // An unquoted value with commas reads back as a list of its pieces.
    if (value.typeId() == QMetaType::QStringList) {
        return value.toStringList().join(',').toStdString();
    }
    return value.toString().toStdString();
}

void IniSettingsStore::Write(const std::string& key, const std::string& value) {
    pending_.emplace_back(QString::fromStdString(key), QString::fromStdString(value));
}

bool IniSettingsStore::Flush() {
    Inspect();
    if (found_.State == StoreCondition::Kind::Unreadable) {
        pending_.clear();
        return false;  // the user's file, whatever it holds, stays as it is
    }
    // A fresh QSettings for every write: its status keeps the first error for as long as the
    // object lives, so only a new one tells whether this write worked.
    QSettings settings = OpenSettings();
    for (const auto& [key, value] : pending_) {
        settings.setValue(key, value);
    }
    pending_.clear();
    settings.sync();
    return settings.status() == QSettings::NoError;
}

std::string IniSettingsStore::Location() const {
    // Where QSettings keeps it, found without QSettings: that would read the file at once.
    return (QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
            "/Quarnel/Quarnel.ini")
        .toStdString();
}

}  // namespace quarnel
