#pragma once

#include <string>

#include "engine/SettingsStore.h"
#include "settings/IniFormat.h"

namespace quarnel {

// The rule lists in the user's INI file, section [General] (on Linux
// ~/.config/Quarnel/Quarnel.ini).
//
// The file is looked at before anything reads it: only a regular file is read (a FIFO or a
// device would hold the program before its window); one that cannot be read is never written
// over; one that cannot be understood is renamed aside, the user's to keep, and the store starts
// empty. A save rewrites the lines of the keys written and keeps every other line (comments,
// other keys, an edit made by hand since the start), and replaces the file whole.
class IniSettingsStore : public SettingsStore {
public:
    explicit IniSettingsStore(std::string path) : path_(std::move(path)) {}

    StoreCondition Condition() const override;
    std::string Read(const std::string& key, const std::string& defaultValue) override;
    // Kept until Flush.
    void Write(const std::string& key, const std::string& value) override;
    // Writes the values given since the last Flush; false when the file could not be written, or
    // what is there now may not be written over (it can no longer be read or understood).
    [[nodiscard]] bool Flush() override;
    // Copies the file, as it is now, to a free name beside it (Quarnel.ini.not-understood, or
    // -2, -3...).
    std::string KeepCopy() override;
    std::string Location() const override { return path_; }

private:
    // Once, before the first read or write.
    void Inspect() const;

    std::string path_;
    IniValues pending_;
    mutable bool inspected_ = false;
    mutable StoreCondition found_;
    mutable IniContents stored_;  // what the file holds, as far as this store knows
};

}  // namespace quarnel
