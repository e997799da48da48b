#include "settings/IniSettingsStore.h"

#include <cstring>
#include <filesystem>
#include <system_error>

#include "platform/RegularFile.h"

namespace quarnel {

namespace {

// Larger than any list of rules a person keeps: such a file is not ours.
constexpr std::size_t kLargestFile = 1 << 20;

// A name beside path that says the file was not understood and that nothing holds yet; empty
// when there is none.
std::string FreeNameBeside(const std::string& path) {
    namespace fs = std::filesystem;
    for (int n = 1; n < 100; ++n) {
        std::string aside = path + ".not-understood";
        if (n > 1) {
            aside += '-';
            aside += std::to_string(n);
        }
        std::error_code error;
        if (!fs::exists(fs::symlink_status(aside, error))) {  // a name in use, even a link
            return aside;
        }
    }
    return {};
}

// Renames the file at path to a free name beside it that says why; the new path, or empty.
std::string SetAside(const std::string& path, std::string& why) {
    const std::string aside = FreeNameBeside(path);
    if (aside.empty()) {
        why = "no free name beside it";
        return {};
    }
    std::error_code error;
    std::filesystem::rename(path, aside, error);
    if (error) {
        why = error.message();
        return {};
    }
    return aside;
}

}  // namespace

void IniSettingsStore::Inspect() const {
    if (inspected_) {
        return;
    }
    inspected_ = true;
    platform::FileReading file = platform::ReadRegularFile(path_, kLargestFile);
    switch (file.Result) {
        case platform::FileReading::Outcome::Missing:
            return;
        case platform::FileReading::Outcome::Read:
            stored_ = ReadIni(file.Bytes);
            if (stored_.Understood) {
                return;
            }
            stored_ = {};
            break;
        case platform::FileReading::Outcome::TooLarge:
            break;
        case platform::FileReading::Outcome::NotRegular:
            found_ = {StoreCondition::Kind::Unreadable, "not a regular file"};
            return;
        case platform::FileReading::Outcome::NoAccess:
        case platform::FileReading::Outcome::Failed:
            found_ = {StoreCondition::Kind::Unreadable, std::strerror(file.Error)};
            return;
    }
    std::string why;
    const std::string aside = SetAside(path_, why);
    if (aside.empty()) {
        found_ = {StoreCondition::Kind::Unreadable, "not understood, and not renamed: " + why};
        return;
    }
    found_ = {StoreCondition::Kind::SetAside, aside};
}

std::string IniSettingsStore::KeepCopy() {
    const platform::FileReading file = platform::ReadRegularFile(path_, kLargestFile);
    if (file.Result != platform::FileReading::Outcome::Read) {
        return {};
    }
    const std::string aside = FreeNameBeside(path_);
    std::string why;  // the caller tells the user that no copy was kept
    if (aside.empty() || !platform::WriteRegularFile(aside, file.Bytes, 0666, why)) {
        return {};
    }
    return aside;
}

StoreCondition IniSettingsStore::Condition() const {
    Inspect();
    return found_;
}

std::string IniSettingsStore::Read(const std::string& key, const std::string& defaultValue) {
    Inspect();
    const std::string* value = stored_.Find(key);
    return value != nullptr ? *value : defaultValue;
}

void IniSettingsStore::Write(const std::string& key, const std::string& value) {
    for (auto& [name, pending] : pending_) {
        if (name == key) {
            pending = value;
            return;
        }
    }
    pending_.emplace_back(key, value);
}

bool IniSettingsStore::Flush() {
    Inspect();
    const IniValues values = std::move(pending_);
    pending_.clear();
    if (found_.State == StoreCondition::Kind::Unreadable) {
        return false;  // the user's file, whatever it holds, stays as it is
    }
    // The file as it is now, so that what was changed in it by hand meanwhile stays.
    const platform::FileReading file = platform::ReadRegularFile(path_, kLargestFile);
    std::string text;
    if (file.Result == platform::FileReading::Outcome::Read && ReadIni(file.Bytes).Understood) {
        text = file.Bytes;
    } else if (file.Result != platform::FileReading::Outcome::Missing) {
        return false;
    }
    std::error_code error;
    std::filesystem::create_directories(std::filesystem::path(path_).parent_path(), error);
    std::string why;  // the user is told where, not why: a full disk or a folder not theirs
    text = WithIniValues(text, values);
    if (!platform::WriteRegularFile(path_, text, 0666, why)) {
        return false;
    }
    stored_ = ReadIni(text);
    return true;
}

}  // namespace quarnel
