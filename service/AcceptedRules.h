#pragma once

#include <string>

#include "service/RulesFile.h"

namespace quarnel {

// The copy of the last rules file the service accepted, in its state directory: a start that
// finds the file unusable or gone puts these rules in force instead of none. The copy is
// replaced whole (written beside it, then renamed over it), so it is the old or the new one,
// never a part; it is read with the checks of the rules file itself, so a damaged copy is
// unusable like any other file.
class AcceptedRules {
public:
    // An empty path keeps no copy.
    explicit AcceptedRules(std::string path) : path_(std::move(path)) {}

    const std::string& Location() const { return path_; }
    // Keeps text, the bytes of a file just accepted; false (problem says why) when it could not.
    // The same text as the last kept is not written again.
    bool Keep(const std::string& text, std::string& problem);
    // The copy; Missing when there is none (or no path).
    RulesReading Read();

private:
    std::string path_;
    std::string kept_;  // what the copy holds, as far as this run wrote or read it
};

}  // namespace quarnel
