#pragma once

#include <QString>

#include <string>
#include <utility>
#include <vector>

#include "engine/SettingsStore.h"

class QVariant;

namespace quarnel {

// A value as the store reads it: one the file holds as a list (a hand-edited value with commas)
// as its comma-separated text, without blanks around the pieces.
std::string StoredText(const QVariant& value);

// The rule lists in the user's INI file: $XDG_CONFIG_HOME/Quarnel/Quarnel.ini (by default
// ~/.config/Quarnel/Quarnel.ini), section [General].
//
// The file is looked at before anything reads it: only a regular file is read (a FIFO or a
// device would hold the program before its window); one that cannot be read is never written
// over; one that cannot be understood is renamed aside, the user's to keep, and the store starts
// empty.
class IniSettingsStore : public SettingsStore {
public:
    StoreCondition Condition() const override;
    // A value that the file holds as a list (a hand-edited value with commas) comes back as
    // its comma-separated text, without blanks around the pieces.
    std::string Read(const std::string& key, const std::string& defaultValue) override;
    // Kept until Flush.
    void Write(const std::string& key, const std::string& value) override;
    // Writes the values given since the last Flush; false when the file could not be written.
    [[nodiscard]] bool Flush() override;
    std::string Location() const override;

private:
    // Once, before the first read or write.
    void Inspect() const;

    std::vector<std::pair<QString, QString>> pending_;
    mutable bool inspected_ = false;
    mutable StoreCondition found_;
};

}  // namespace quarnel
