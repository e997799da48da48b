#pragma once

#include <string>

namespace quarnel {

// What became of the stored values when the store was opened.
struct StoreCondition {
    enum class Kind {
        Read,        // read as stored, or nothing stored yet
        Unreadable,  // there, but not readable: every key reads as missing; nothing is written
        SetAside,    // there, but not understood: kept elsewhere, the store starts empty
    };
    Kind State = Kind::Read;
    std::string Detail;  // Unreadable: why; SetAside: where the file not understood now is
};

// The per-user settings store that keeps the three rule lists, section "General".
class SettingsStore {
public:
    virtual ~SettingsStore() = default;

    virtual StoreCondition Condition() const { return {}; }

    // The stored value of key, or defaultValue when the key does not exist.
    virtual std::string Read(const std::string& key, const std::string& defaultValue) = 0;
    virtual void Write(const std::string& key, const std::string& value) = 0;
    // Makes the writes durable; false when they could not be written, or may not be (an
    // unreadable store is never overwritten).
    [[nodiscard]] virtual bool Flush() = 0;
    // Copies what the store holds now beside it, the user's to keep, before a save drops what
    // was read but not understood; where the copy is, or empty when none was made.
    virtual std::string KeepCopy() { return {}; }
    // Where the store lives, for messages (the file's path).
    virtual std::string Location() const = 0;
};

}  // namespace quarnel
