#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quarnel {

// The key of the rules file that keeps the service to its own network namespace. The window
// program passes over it.
inline constexpr const char* kOwnNamespaceOnlyKey = "OwnNamespaceOnly";

// What one reading of a rules file gave.
struct RulesReading {
    enum class Outcome {
        Read,      // Values hold the file's rules
        Missing,   // there is no file: no rules
        Unusable,  // the file cannot be used: Problem says why
    };
    Outcome Result = Outcome::Unusable;
    std::map<std::string, std::string> Values;  // the rule lists the file holds, by key
    std::string Problem;
    std::vector<std::string> IgnoredKeys;  // keys of the file that are no rule list
    std::string Text;                      // the bytes read, when Read
    int Error = 0;  // when the system kept it from reading the file: the error number
    // OwnNamespaceOnly (true or false) when the file holds it: the service then guards its own
    // network namespace alone.
    std::optional<bool> OwnNamespaceOnly;
};

// The rules a file's bytes hold, for the service, which takes a file whole or not at all: the
// window program's settings file format (section [General], the keys BlockedLocalPortsString,
// BlockedRemotePortsString and AllowedIPString, and the service's own OwnNamespaceOnly). It is
// unusable whole when it is not understood as that format, holds none of the three keys (an
// empty or half-written file), holds a piece that is no port or range (1 to 65535) or no IP
// address or prefix, or an OwnNamespaceOnly that is neither true nor false.
RulesReading ReadRulesText(std::string_view bytes);

}  // namespace quarnel
