#pragma once

#include <string>

namespace quarnel {

// The per-user settings store that keeps the three rule lists, section "General".
class SettingsStore {
public:
    virtual ~SettingsStore() = default;

    // The stored value of key, or defaultValue when the key does not exist.
    virtual std::string Read(const std::string& key, const std::string& defaultValue) = 0;
    virtual void Write(const std::string& key, const std::string& value) = 0;
    // Makes the writes durable; false when they could not be written.
    [[nodiscard]] virtual bool Flush() = 0;
    // Where the store lives, for messages (the file's path).
    virtual std::string Location() const = 0;
};

}  // namespace quarnel
