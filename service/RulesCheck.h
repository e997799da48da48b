#pragma once

#include <cstdio>
#include <string>

namespace quarnel {

// quarneld --check: reads the rules file at path exactly as a reload would and tells the rules
// it would put in force (on out) or why the file is unusable (on err). The exit status: 0
// when the file would be used, 1 when not, a missing file included (a reload keeps the rules in
// force then).
int CheckRulesFile(const std::string& path, std::FILE* out = stdout, std::FILE* err = stderr);

}  // namespace quarnel
