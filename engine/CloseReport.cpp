#include "engine/CloseReport.h"

#include <arpa/inet.h>

#include <array>
#include <cstring>

namespace quarnel {

namespace {

// address:port for an IPv4 socket; [address]:port for an IPv6 one, whose IPv4 addresses the
// table keeps in their IPv4 form and the system shows as ::ffff:a.b.c.d.
// Appended with += throughout: GCC 12 warns wrongly (-Wrestrict) of chains of + on strings.
void AppendEndpoint(std::string& line, const platform::TcpRow& row, std::uint32_t address,
                    std::int32_t port) {
    std::array<char, INET6_ADDRSTRLEN> text{};
    if (row.Family == platform::SocketFamily::MappedIPv6) {
        std::array<std::uint8_t, 16> mapped{};
        mapped[10] = mapped[11] = 0xff;
        std::memcpy(&mapped[12], &address, sizeof address);
        (void)::inet_ntop(AF_INET6, mapped.data(), text.data(), text.size());  // cannot fail
        line += '[';
        line += text.data();
        line += ']';
    } else {
        (void)::inet_ntop(AF_INET, &address, text.data(), text.size());  // cannot fail
        line += text.data();
    }
    line += ':';
    line += std::to_string(port);
}

}  // namespace

std::string CloseLine(const platform::TcpRow& row, BlockedBy rule) {
    const bool local = rule == BlockedBy::LocalPort;
    std::string line = "closed ";
    line += row.Family == platform::SocketFamily::MappedIPv6 ? "IPv6 " : "IPv4 ";
    AppendEndpoint(line, row, row.LocalAddress, row.LocalPort);
    line += " -> ";
    AppendEndpoint(line, row, row.RemoteAddress, row.RemotePort);
    line += local ? " (local port " : " (remote port ";
    line += std::to_string(local ? row.LocalPort : row.RemotePort);
    line += " blocked)";
    return line;
}

}  // namespace quarnel
