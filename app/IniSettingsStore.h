#pragma once

#include <QString>

#include <string>
#include <utility>
#include <vector>

#include "engine/SettingsStore.h"

namespace quarnel {

// The rule lists in the user's INI file: $XDG_CONFIG_HOME/Quarnel/Quarnel.ini (by default
// ~/.config/Quarnel/Quarnel.ini), section [General].
class IniSettingsStore : public SettingsStore {
public:
    // A value that the file holds as a list (a hand-edited value with commas) comes back as
    // its comma-separated text, without blanks around the pieces.
    std::string Read(const std::string& key, const std::string& defaultValue) override;
    // Kept until Flush.
    void Write(const std::string& key, const std::string& value) override;
    // Writes the values given since the last Flush; false when the file could not be written.
    [[nodiscard]] bool Flush() override;
    std::string Location() const override;

private:
    std::vector<std::pair<QString, QString>> Pending;
};

}  // namespace quarnel
