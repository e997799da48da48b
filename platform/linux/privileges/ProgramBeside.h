#pragma once

#include <initializer_list>
#include <string>

namespace quarnel::platform {

// Where this process finds a small privileged program it starts (quarnel-helper, quarnel-netns):
// name in the first of folders, each relative to the folder of this process's own executable
// (an installed layout such as "../libexec", then the build tree's), that holds it as a regular
// file; empty when none does or the executable cannot be told. Nothing else is consulted, no
// environment variable in particular: the program found is handed a privilege, so only this
// program's own installation chooses it.
std::string FindProgramBeside(const char* name, std::initializer_list<const char*> folders);

}  // namespace quarnel::platform
