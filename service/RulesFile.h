#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "engine/Manager.h"
#include "engine/SettingsStore.h"

namespace quarnel {

// The rule lists of the latest good reading of the rules file, as the engine's settings store:
// a key the file did not hold gives its default. Nothing is ever written.
class RuleValues final : public SettingsStore {
public:
    RuleValues() = default;
    explicit RuleValues(std::string path) : path_(std::move(path)) {}

    std::string Read(const std::string& key, const std::string& defaultValue) override;
    // The service never writes its rules: these do nothing, and Flush says nothing was kept.
    void Write(const std::string& key, const std::string& value) override;
    bool Flush() override { return false; }
    std::string Location() const override { return path_; }

    std::map<std::string, std::string> Values;  // by key, as stored (a list joined by ",")

private:
    std::string path_;
};

// What one reading of the rules file gave.
struct RulesReading {
    enum class Outcome {
        Read,      // Rules hold the file's rules
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
    // network namespace alone. Read at start only, before the service gives up entering others.
    std::optional<bool> OwnNamespaceOnly;
};

// Reads the rules file at path: the window program's settings file format (section [General],
// the keys BlockedLocalPortsString, BlockedRemotePortsString and AllowedIPString, and the
// service's own OwnNamespaceOnly, which the window program passes over). It is unusable
// whole when it cannot be read, is not text, does not parse, holds none of the three keys (an
// empty or half-written file), holds a piece that is no port (1 to 65535) or no IP address, or an
// OwnNamespaceOnly that is neither true nor false.
// A UTF-8 byte order mark at its start, as some editors write, is passed over. Nothing is
// written, to that file or beside it.
RulesReading ReadRulesFile(const std::string& path);

// The key of the rules file that keeps the service to its own network namespace.
inline constexpr const char* kOwnNamespaceOnlyKey = "OwnNamespaceOnly";

// The rules in force as one line: "blocked local ports 445,139; blocked remote ports none;
// allowed addresses 127.0.0.1".
std::string DescribeRules(const Manager& oManager);
// The same line for the rules a reading would put in force.
std::string DescribeRules(const RulesReading& reading);

}  // namespace quarnel
