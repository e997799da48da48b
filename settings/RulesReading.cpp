#include "settings/RulesReading.h"

#include <algorithm>
#include <array>

#include "engine/Settings.h"
#include "platform/RuleEntry.h"
#include "settings/IniFormat.h"

namespace quarnel {

namespace {

constexpr std::array<const char*, 3> kKeys = {BlockedLocalPortsKey, BlockedRemotePortsKey,
                                              AllowedIPKey};

RulesReading Unusable(std::string problem) {
    RulesReading reading;
    reading.Problem = std::move(problem);
    return reading;
}

// The first piece of the value that is not of its list's kind, as a problem; empty when none.
std::string PieceProblem(std::string_view key, std::string_view value) {
    const bool ports = key != AllowedIPKey;
    while (!value.empty()) {
        const auto end = value.find(',');
        const std::string piece(value.substr(0, end));
        const platform::AddressEntry address =
            ports ? platform::AddressEntry{} : platform::ParseAddressEntry(piece);
        if (!piece.empty() && (ports ? !platform::ParsePortEntry(piece)
                                     : address.Is != platform::AddressEntry::Kind::Prefix)) {
            std::string problem =
                std::string(key) + " holds \"" + piece + "\", which is no " +
                (ports ? "port number or range (1 to 65535)" : "IPv4 or IPv6 address or prefix");
            if (address.Is == platform::AddressEntry::Kind::HostBitsSet) {
                problem += " (its network is " + platform::AddressEntryText(address.Prefix) + ")";
            }
            return problem;
        }
        value = end == std::string_view::npos ? std::string_view{} : value.substr(end + 1);
    }
    return {};
}

}  // namespace

RulesReading ReadRulesText(std::string_view bytes) {
    const IniContents contents = ReadIni(bytes);
    if (!contents.Understood) {
        return Unusable("it is not a settings file (" + contents.Problem + ")");
    }
    RulesReading reading;
    reading.Result = RulesReading::Outcome::Read;
    reading.Text = bytes;
    for (const auto& [key, value] : contents.Values) {
        if (key == kOwnNamespaceOnlyKey) {
            if (value != "true" && value != "false") {
                return Unusable(key + " holds \"" + value + "\", which is neither true nor false");
            }
            reading.OwnNamespaceOnly = value == "true";
        } else if (std::find(kKeys.begin(), kKeys.end(), key) == kKeys.end()) {
            reading.IgnoredKeys.push_back(key);
        } else if (std::string problem = PieceProblem(key, value); !problem.empty()) {
            return Unusable(std::move(problem));
        } else {
            reading.Values.emplace(key, value);
        }
    }
    if (reading.Values.empty()) {
        return Unusable("it holds none of the keys " + std::string(BlockedLocalPortsKey) + ", " +
                        BlockedRemotePortsKey + " and " + AllowedIPKey +
                        " in its section [General] (empty, or not yet fully written?)");
    }
    return reading;
}

}  // namespace quarnel
