#include "engine/CloseReport.h"

#include "engine/AddressText.h"

namespace quarnel {

namespace {

// Appended with += throughout: GCC 12 warns wrongly (-Wrestrict) of chains of + on strings.
void AppendEndpoint(std::string& line, const platform::IpAddress& address, std::int32_t port) {
    if (platform::IsIPv4Mapped(address)) {
        line += CanonicalAddressText(address);
    } else {
        line += '[';
        line += IPv6Text(address);
        line += ']';
    }
    line += ':';
    line += std::to_string(port);
}

}  // namespace

namespace {

std::string ReportLine(const char* what, const platform::TcpRow& row, Verdict verdict,
                       const RuleSet* rules, const UserNameOf& userName,
                       const platform::ConnectionOwner& owner,
                       const NamespaceNameOf& namespaceName) {
    const bool local = verdict == Verdict::BlockedByLocalPort;
    std::string line = what;
    line += FamilyText(row);
    line += ' ';
    AppendEndpoint(line, row.LocalAddress, row.LocalPort);
    line += " -> ";
    AppendEndpoint(line, row.RemoteAddress, row.RemotePort);
    line += local ? " (local port " : " (remote port ";
    const std::int32_t port = local ? row.LocalPort : row.RemotePort;
    line += std::to_string(port);
    line += " blocked";
    if (rules != nullptr && platform::IsPortNumber(port)) {
        const platform::PortRange range = rules->RangeOf(static_cast<std::uint16_t>(port), local);
        if (range.Low != range.High) {
            line += ", range " + platform::PortEntryText(range);
        }
    }
    line += ") by ";
    line += OwnerText(owner, userName);
    if (row.Namespace != 0) {
        line += " in ";
        line += namespaceName ? namespaceName(row.Namespace)
                              : "net:[" + std::to_string(row.Namespace) + "]";
    }
    return line;
}

}  // namespace

std::string EndpointText(const platform::IpAddress& address, std::int32_t port) {
    std::string text;
    AppendEndpoint(text, address, port);
    return text;
}

std::string_view FamilyText(const platform::TcpRow& row) {
    return row.Family == platform::SocketFamily::IPv6 &&
                   !(platform::IsIPv4Mapped(row.LocalAddress) &&
                     platform::IsIPv4Mapped(row.RemoteAddress))
               ? "IPv6"
               : "IPv4";
}

std::string OwnerText(const platform::ConnectionOwner& owner, const UserNameOf& userName) {
    if (!owner.Known()) {
        return "unknown";
    }
    std::string text(owner.CommandText());
    text += " [";
    text += std::to_string(owner.Pid);
    text += "] user ";
    text += userName ? userName(owner.Uid) : std::to_string(owner.Uid);
    return text;
}

std::string CloseLine(const platform::TcpRow& row, Verdict verdict, const RuleSet* rules,
                      const UserNameOf& userName, const platform::ConnectionOwner& owner,
                      const NamespaceNameOf& namespaceName) {
    return ReportLine("closed ", row, verdict, rules, userName, owner, namespaceName);
}

std::string MissedLine(const platform::TcpRow& row, Verdict verdict, const RuleSet* rules,
                       const UserNameOf& userName, const platform::ConnectionOwner& owner,
                       const NamespaceNameOf& namespaceName) {
    return ReportLine("missed ", row, verdict, rules, userName, owner, namespaceName) +
           ": ended before it could be closed";
}

}  // namespace quarnel
