#include "platform/windows/RegistrySettingsStore.h"

#include <memory>

#include "engine/SettingsStore.h"
#include "platform/windows/WideText.h"

namespace quarnel::platform {

namespace {

// The values the program keeps there; others (a later version's) are left alone.
constexpr const char* kKeys[] = {"BlockedLocalPortsString", "BlockedRemotePortsString",
                                 "AllowedIPString"};

// Larger than any list of rules a person keeps: such a value is not ours.
constexpr DWORD kLargestValue = 1 << 20;

struct KeyCloser {
    void operator()(HKEY key) const { (void)RegCloseKey(key); }
};
using Key = std::unique_ptr<std::remove_pointer_t<HKEY>, KeyCloser>;

enum class Found { Missing, Text, NotUnderstood, Failed };

// One value of key: its text when it is plain text, or why not.
Found ReadValue(HKEY key, const std::string& name, std::string& text, LSTATUS& error) {
    const std::wstring wideName = Widen(name);
    DWORD type = 0, size = 0;
    error = RegQueryValueExW(key, wideName.c_str(), nullptr, &type, nullptr, &size);
    if (error == ERROR_FILE_NOT_FOUND) {
        return Found::Missing;
    }
    if (error != ERROR_SUCCESS) {
        return Found::Failed;
    }
    if (type != REG_SZ || size > kLargestValue || size % sizeof(wchar_t) != 0) {
        return Found::NotUnderstood;
    }
    std::wstring wide(size / sizeof(wchar_t), L'\0');
    error = RegQueryValueExW(key, wideName.c_str(), nullptr, &type,
                             reinterpret_cast<BYTE*>(wide.data()), &size);
    if (error != ERROR_SUCCESS) {
        return Found::Failed;  // changed under our hands, or gone: not ours to judge
    }
    wide.resize(size / sizeof(wchar_t));
    if (!wide.empty() && wide.back() == L'\0') {
        wide.pop_back();  // stored with its end, as it usually is
    }
    for (const wchar_t c : wide) {
        if (c < L' ') {
            return Found::NotUnderstood;  // a NUL inside, a line break: not a list of ours
        }
    }
    const std::optional<std::string> narrow = Narrow(wide);
    if (!narrow) {
        return Found::NotUnderstood;
    }
    text = *narrow;
    return Found::Text;
}

}  // namespace

RegistrySettingsStore::RegistrySettingsStore(std::wstring subKey) : subKey_(std::move(subKey)) {}

void RegistrySettingsStore::Inspect() const {
    if (inspected_) {
        return;
    }
    inspected_ = true;
    HKEY opened = nullptr;
    LSTATUS error = RegOpenKeyExW(HKEY_CURRENT_USER, subKey_.c_str(), 0, KEY_READ, &opened);
    if (error == ERROR_FILE_NOT_FOUND) {
        return;  // nothing stored yet
    }
    if (error != ERROR_SUCCESS) {
        found_ = {StoreCondition::Kind::Unreadable, SystemErrorText(unsigned(error))};
        return;
    }
    Key key(opened);
    bool understood = true;
    for (const char* name : kKeys) {
        std::string text;
        switch (ReadValue(key.get(), name, text, error)) {
            case Found::Missing:
                break;
            case Found::Text:
                values_[name] = std::move(text);
                break;
            case Found::NotUnderstood:
                understood = false;
                break;
            case Found::Failed:
                values_.clear();
                found_ = {StoreCondition::Kind::Unreadable,
                          std::string(name) + ": " + SystemErrorText(unsigned(error))};
                return;
        }
    }
    if (understood) {
        return;
    }
    values_.clear();
    key.reset();  // closed before it is copied and deleted
    std::string why;
    const std::string aside = SetAside(why);
    if (aside.empty()) {
        found_ = {StoreCondition::Kind::Unreadable, "not understood, and not kept aside: " + why};
        return;
    }
    found_ = {StoreCondition::Kind::SetAside, aside};
}

std::string RegistrySettingsStore::SetAside(std::string& why, bool empty) const {
    for (int n = 1; n < 100; ++n) {
        std::wstring aside = subKey_ + L".not-understood";
        if (n > 1) {
            aside += L"-" + std::to_wstring(n);
        }
        HKEY created = nullptr;
        DWORD disposition = 0;
        LSTATUS error = RegCreateKeyExW(HKEY_CURRENT_USER, aside.c_str(), 0, nullptr, 0,
                                        KEY_ALL_ACCESS, nullptr, &created, &disposition);
        if (error != ERROR_SUCCESS) {
            why = SystemErrorText(unsigned(error));
            return {};
        }
        const Key copy(created);
        if (disposition != REG_CREATED_NEW_KEY) {
            continue;  // an earlier one, kept
        }
        error = RegCopyTreeW(HKEY_CURRENT_USER, subKey_.c_str(), copy.get());
        if (error == ERROR_SUCCESS && empty) {
            error = RegDeleteTreeW(HKEY_CURRENT_USER, subKey_.c_str());
        }
        if (error != ERROR_SUCCESS) {
            why = SystemErrorText(unsigned(error));
            return {};
        }
        return "HKEY_CURRENT_USER\\" + Narrow(aside).value_or("?");
    }
    why = "no free name beside it";
    return {};
}

std::string RegistrySettingsStore::KeepCopy() {
    std::string why;  // the caller tells the user that no copy was kept
    return SetAside(why, false);
}

StoreCondition RegistrySettingsStore::Condition() const {
    Inspect();
    return found_;
}

std::string RegistrySettingsStore::Read(const std::string& key, const std::string& defaultValue) {
    Inspect();
    const auto value = values_.find(key);
    return value != values_.end() ? value->second : defaultValue;
}

void RegistrySettingsStore::Write(const std::string& key, const std::string& value) {
    pending_.emplace_back(key, value);
}

bool RegistrySettingsStore::Flush() {
    Inspect();
    std::vector<std::pair<std::string, std::string>> writes = std::move(pending_);
    pending_.clear();
    if (found_.State == StoreCondition::Kind::Unreadable) {
        return false;  // the user's key, whatever it holds, stays as it is
    }
    HKEY created = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, subKey_.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                        &created, nullptr) != ERROR_SUCCESS) {
        return false;
    }
    const Key key(created);
    bool written = true;
    for (const auto& [name, value] : writes) {
        const std::wstring wide = Widen(value);
        const LSTATUS error = RegSetValueExW(key.get(), Widen(name).c_str(), 0, REG_SZ,
                                             reinterpret_cast<const BYTE*>(wide.c_str()),
                                             DWORD((wide.size() + 1) * sizeof(wchar_t)));
        if (error == ERROR_SUCCESS) {
            values_[name] = value;
        } else {
            written = false;
        }
    }
    return written;
}

std::string RegistrySettingsStore::Location() const {
    return "HKEY_CURRENT_USER\\" + Narrow(subKey_).value_or("?");
}

}  // namespace quarnel::platform
