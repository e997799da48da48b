#pragma once

#include <initializer_list>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "engine/SettingsStore.h"

namespace quarnel::testsupport {

// The rule lists kept in memory, for tests and benchmarks: what is written is read back, and
// nothing goes anywhere else. A save fails while Writable is false, a copy while Copyable is;
// Found is what the store says it found when it was opened.
struct MemoryStore : SettingsStore {
    MemoryStore() = default;
    MemoryStore(std::initializer_list<std::pair<const std::string, std::string>> values)
        : Values(values) {}

    StoreCondition Condition() const override { return Found; }
    std::string Read(const std::string& key, const std::string& defaultValue) override {
        const auto found = Values.find(key);
        return found != Values.end() ? found->second : defaultValue;
    }
    void Write(const std::string& key, const std::string& value) override { Values[key] = value; }
    bool Flush() override { return Writable; }
    std::string KeepCopy() override {
        if (!Copyable) {
            return {};
        }
        Kept.push_back(Values);
        return Location() + ".not-understood";
    }
    std::string Location() const override { return "/home/user/.config/Quarnel/Quarnel.ini"; }

    std::map<std::string, std::string> Values;
    bool Writable = true;
    bool Copyable = true;
    std::vector<std::map<std::string, std::string>> Kept;  // the values each KeepCopy copied
    StoreCondition Found;
};

}  // namespace quarnel::testsupport
