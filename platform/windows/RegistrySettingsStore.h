#pragma once

#include <windows.h>

#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/SettingsStore.h"

namespace quarnel::platform {

// The rule lists in the user's registry: HKEY_CURRENT_USER\Software\Quarnel\General, one text
// value (REG_SZ) per key, each a comma-separated list as the Linux INI file holds it.
//
// The key is looked at once, before anything reads it. One that cannot be read is never written
// over. One that holds a value Quarnel cannot read (not text, not plain text, or far longer than
// any list of rules) is copied whole beside it, to General.not-understood (or -2, -3...), the
// user's to keep, and emptied: Quarnel then starts with the default rules.
class RegistrySettingsStore final : public SettingsStore {
public:
    // The key under HKEY_CURRENT_USER; tests give one of their own.
    explicit RegistrySettingsStore(std::wstring subKey = L"Software\\Quarnel\\General");

    StoreCondition Condition() const override;
    std::string Read(const std::string& key, const std::string& defaultValue) override;
    // Kept until Flush.
    void Write(const std::string& key, const std::string& value) override;
    // Writes the values given since the last Flush; false when one could not be written.
    [[nodiscard]] bool Flush() override;
    // Copies the key as it is now beside it, as a key not understood is.
    std::string KeepCopy() override;
    // "HKEY_CURRENT_USER\Software\Quarnel\General".
    std::string Location() const override;

private:
    // Once, before the first read or write.
    void Inspect() const;
    // Copies the key beside itself and, when empty, empties it; where it went, or empty and why
    // not.
    std::string SetAside(std::string& why, bool empty = true) const;

    std::wstring subKey_;
    std::vector<std::pair<std::string, std::string>> pending_;
    mutable bool inspected_ = false;
    mutable StoreCondition found_;
    mutable std::map<std::string, std::string> values_;  // the three keys as read and written
};

}  // namespace quarnel::platform
