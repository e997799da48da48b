#pragma once

#include <string>
#include <string_view>

namespace quarnel {

// The program's version record. The numbers come from the project version in CMake.
struct VersionRecord {
    std::string_view ProductName;
    int Major = 0;
    int Minor = 0;
    int Revision = 0;
};

inline constexpr VersionRecord ProgramVersion{"Virel Quarnel", QUARNEL_VERSION_MAJOR,
                                              QUARNEL_VERSION_MINOR, QUARNEL_VERSION_REVISION};

// The name the desktop knows the program by: message box titles, the lock file, the INI file.
inline constexpr std::string_view ApplicationName = "Quarnel";

// The window title: "Virel Quarnel v.1.2   (build 38)".
std::string BuildAppTitle(const VersionRecord& version = ProgramVersion);
// The caption the window carries while it loads: "Virel Quarnel v1.2 Build 38".
std::string LoadCaption(const VersionRecord& version = ProgramVersion);

}  // namespace quarnel
