#pragma once

#include <string>

namespace quarnel {

// The user's settings file: Quarnel/Quarnel.ini in the desktop's folder for settings
// ($XDG_CONFIG_HOME, by default ~/.config), where Qt's settings have always kept it.
std::string SettingsFilePath();

}  // namespace quarnel
