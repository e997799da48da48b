#pragma once

#include <map>
#include <string>

#include "engine/Manager.h"
#include "engine/SettingsStore.h"
#include "settings/RulesReading.h"

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

// Reads the rules file at path as ReadRulesText reads its bytes, and never waits for it (a FIFO
// in its place is refused): unusable whole when it cannot be read, is not a regular file or is
// larger than 1 MiB, Missing when there is none. Nothing is written, to that file or beside it.
RulesReading ReadRulesFile(const std::string& path);

// The rules in force as one line: "blocked local ports 445,139; blocked remote ports none;
// allowed addresses 127.0.0.1".
std::string DescribeRules(const Manager& oManager);
// The same line for the rules a reading would put in force.
std::string DescribeRules(const RulesReading& reading);
// The rules in force as a line of bounded length, for the log: a list longer than a few hundred
// characters is told by its number of entries ("allowed addresses 20,000 entries, listed by
// quarneld --check"), the others as DescribeRules tells them.
std::string DescribeRulesBriefly(const Manager& oManager);

}  // namespace quarnel
