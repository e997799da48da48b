#include "service/RulesFile.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "engine/ActionLog.h"
#include "platform/RegularFile.h"

namespace quarnel {

namespace {

// Far above any rule list a person keeps; a larger file is no rules file.
constexpr std::size_t kLargestFile = std::size_t{1} << 20;

RulesReading Unusable(std::string problem, int error = 0) {
    RulesReading reading;
    reading.Problem = std::move(problem);
    reading.Error = error;
    return reading;
}

}  // namespace

std::string RuleValues::Read(const std::string& key, const std::string& defaultValue) {
    const auto found = Values.find(key);
    return found == Values.end() ? defaultValue : found->second;
}

void RuleValues::Write(const std::string& /*key*/, const std::string& /*value*/) {}

RulesReading ReadRulesFile(const std::string& path) {
    // Through one descriptor, so that every check sees the same bytes.
    const platform::FileReading file = platform::ReadRegularFile(path, kLargestFile);
    switch (file.Result) {
        case platform::FileReading::Outcome::Read:
            return ReadRulesText(file.Bytes);
        case platform::FileReading::Outcome::Missing: {
            RulesReading missing;
            missing.Result = RulesReading::Outcome::Missing;
            return missing;
        }
        case platform::FileReading::Outcome::NoAccess:
            return Unusable("the user it runs as (uid " + std::to_string(::geteuid()) +
                            ") may not read it: give it mode 0644 (chmod 0644 " + path +
                            "), or give its group read access and the service that group");
        case platform::FileReading::Outcome::NotRegular:
            return Unusable("it is not a regular file");
        case platform::FileReading::Outcome::TooLarge:
            return Unusable("it is larger than 1 MiB");
        case platform::FileReading::Outcome::Failed:
            break;
    }
    return Unusable(std::string(file.Opened ? "cannot read it" : "cannot open it") + ": " +
                        std::strerror(file.Error),
                    file.Error);
}

std::string DescribeRules(const RulesReading& reading) {
    // The engine's own lists, loaded as the service loads them, say it as the service would.
    struct NoHosts final : platform::HostAddressSource {
        platform::HostAddresses GetHostAddresses() override { return {}; }
    } hosts;
    const TcpTable table;
    ConnectionCache cache;
    RuleValues values;
    values.Values = reading.Values;
    Manager oManager(table, cache, values, hosts);
    (void)oManager.LoadSettings();  // every piece was checked when the file was read
    return DescribeRules(oManager);
}

namespace {

std::string Describe(const Manager& oManager, std::size_t longest) {
    const auto list = [&](const List& oList) {
        const std::string text = oManager.SaveListToString(oList);
        if (text.size() <= longest) {
            return text.empty() ? std::string("none") : text;
        }
        const auto entries =
            static_cast<std::uint64_t>(std::count(text.begin(), text.end(), ',')) + 1;
        return GroupedNumber(entries) + " entries, listed by quarneld --check";
    };
    return "blocked local ports " + list(oManager.oBlockedLocalPorts) + "; blocked remote ports " +
           list(oManager.oBlockedRemotePorts) + "; allowed addresses " + list(oManager.oAllowedIP);
}

}  // namespace

std::string DescribeRules(const Manager& oManager) {
    return Describe(oManager, std::string::npos);
}

std::string DescribeRulesBriefly(const Manager& oManager) {
    // A journal line stays readable; 20,000 prefixes made one of 288 KB.
    constexpr std::size_t kLongestList = 300;
    return Describe(oManager, kLongestList);
}

}  // namespace quarnel
