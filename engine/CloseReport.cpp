#include "engine/CloseReport.h"

#include "engine/AddressText.h"

namespace quarnel {

namespace {

// Whether a row's addresses are written as IPv4: an IPv4 socket's, and an IPv6 socket's whose
// both ends are IPv4-mapped (an IPv4 client of a dual-stack listener), as the lists show them.
bool SaidAsIPv4(const platform::TcpRow& row) {
    return row.Family == platform::SocketFamily::IPv4 ||
           (platform::IsIPv4Mapped(row.LocalAddress) && platform::IsIPv4Mapped(row.RemoteAddress));
}

// address:port for IPv4; [address]:port for IPv6, an IPv4-mapped address written as the system
// shows it there, ::ffff:a.b.c.d. Appended with += throughout: GCC 12 warns
// wrongly (-Wrestrict) of chains of + on strings.
void AppendEndpoint(std::string& line, bool ipv4, const platform::IpAddress& address,
                    std::int32_t port) {
    if (ipv4) {
        line += CanonicalAddressText(address);
    } else {
        line += '[';
        if (platform::IsIPv4Mapped(address)) {
            line += "::ffff:";
            line += CanonicalAddressText(address);
        } else {
            line += IPv6Text(address);
        }
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
    std::string line = what;
    line += ConnectionText(row);
    line += " (";
    line += RuleText(row, verdict, rules);
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

std::string ConnectionText(const platform::TcpRow& row) {
    const bool ipv4 = SaidAsIPv4(row);
    std::string text = ipv4 ? "IPv4 " : "IPv6 ";
    AppendEndpoint(text, ipv4, row.LocalAddress, row.LocalPort);
    text += " -> ";
    AppendEndpoint(text, ipv4, row.RemoteAddress, row.RemotePort);
    return text;
}

std::string RuleText(const platform::TcpRow& row, Verdict verdict, const RuleSet* rules) {
    const bool local = IsLocalRule(verdict);
    std::string text = local ? "local port " : "remote port ";
    const std::int32_t port = PortJudged(row, verdict);
    text += std::to_string(port);
    text += " blocked";
    if (rules != nullptr && platform::IsPortNumber(port)) {
        const platform::PortRange range = rules->EntryOf(static_cast<std::uint16_t>(port), local);
        if (range.Low != range.High) {
            text += ", range " + platform::PortEntryText(range);
        }
    }
    return text;
}

std::string EndpointText(const platform::IpAddress& address, std::int32_t port) {
    std::string text;
    AppendEndpoint(text, platform::IsIPv4Mapped(address), address, port);
    return text;
}

std::string_view FamilyText(const platform::TcpRow& row) {
    return SaidAsIPv4(row) ? "IPv4" : "IPv6";
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
