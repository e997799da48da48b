#include "engine/Rules.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>
#include <optional>

#include "container/Value.h"

namespace quarnel {

bool IsAllowedIP(const std::string& text, const List& oAllowedIP) {
    if (text.empty()) {
        return false;
    }
    return oAllowedIP.FindItem("=", text, true, 0, false, 1) >= 0;
}

bool IsInList(std::int32_t port, const List& oList) {
    return oList.FindItem("=", port, true, 0, false, 1) >= 0;
}

namespace {

std::vector<std::uint16_t> Ports(const List& oList) {
    std::vector<std::uint16_t> ports;
    for (std::int32_t i = 0; i < oList.GetItemCount(); ++i) {
        const std::optional<std::int32_t> port = ToLongValue(oList.GetItem(i));
        if (port && *port >= 0 && *port <= 0xffff) {
            ports.push_back(static_cast<std::uint16_t>(*port));
        }
    }
    return ports;
}

// The address an allowed entry names, as the pass matches it: only the exact text the table
// shows for a remote IPv4 address (dotted decimal, no leading zeros) ever matches a row.
std::optional<platform::RuleAddress> AllowedAddress(const std::string& text) {
    in_addr ipv4{};
    char shown[INET_ADDRSTRLEN] = {};
    if (::inet_pton(AF_INET, text.c_str(), &ipv4) != 1 ||
        ::inet_ntop(AF_INET, &ipv4, shown, sizeof shown) == nullptr || text != shown) {
        return std::nullopt;
    }
    platform::RuleAddress address{};
    address[10] = address[11] = 0xff;
    std::memcpy(&address[12], &ipv4, sizeof ipv4);
    return address;
}

}  // namespace

platform::BlockingRules CompileBlockingRules(const List& oAllowedIP, const List& oBlockedLocalPorts,
                                             const List& oBlockedRemotePorts) {
    platform::BlockingRules rules;
    for (std::int32_t i = 0; i < oAllowedIP.GetItemCount(); ++i) {
        if (const auto address = AllowedAddress(ValueText(oAllowedIP.GetItem(i)))) {
            rules.AllowedAddresses.push_back(*address);
        }
    }
    rules.BlockedLocalPorts = Ports(oBlockedLocalPorts);
    rules.BlockedRemotePorts = Ports(oBlockedRemotePorts);
    return rules;
}

}  // namespace quarnel
