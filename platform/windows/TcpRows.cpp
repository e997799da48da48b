#include "platform/windows/TcpRows.h"

#include <cstring>

namespace quarnel::platform {

namespace {

// A port field: the port in network byte order in its two lowest-addressed bytes.
std::int32_t PortOf(DWORD field) {
    std::uint8_t bytes[sizeof field];
    std::memcpy(bytes, &field, sizeof field);
    return (std::int32_t(bytes[0]) << 8) | bytes[1];
}

DWORD PortField(std::int32_t port) {
    const std::uint8_t bytes[sizeof(DWORD)] = {std::uint8_t(port >> 8), std::uint8_t(port), 0, 0};
    DWORD field = 0;
    std::memcpy(&field, bytes, sizeof field);
    return field;
}

TcpState StateOf(DWORD state) {
    return state <= MIB_TCP_STATE_DELETE_TCB ? static_cast<TcpState>(state) : TcpState::Unknown;
}

// A listener's remote fields mean nothing.
void ForgetRemoteOfListener(TcpRow& row) {
    if (row.State == TcpState::Listening) {
        row.RemoteAddress = row.Family == SocketFamily::IPv4 ? MappedIPv4(0) : IpAddress{};
        row.RemotePort = 0;
    }
}

std::string AddressText(const IpAddress& address, bool bracketed) {
    char text[INET6_ADDRSTRLEN] = "?";
    if (IsIPv4Mapped(address)) {
        in_addr ipv4{};
        ipv4.s_addr = IPv4Of(address);
        (void)inet_ntop(AF_INET, &ipv4, text, sizeof text);
        return text;
    }
    in6_addr ipv6{};
    std::memcpy(&ipv6, address.data(), address.size());
    (void)inet_ntop(AF_INET6, &ipv6, text, sizeof text);
    std::string shown;
    if (bracketed) {
        shown.append(1, '[').append(text).append(1, ']');
    } else {
        shown = text;
    }
    return shown;
}

}  // namespace

TcpRow RowOf(const MIB_TCPROW_OWNER_PID& row) {
    TcpRow out;
    out.State = StateOf(row.dwState);
    out.Family = SocketFamily::IPv4;
    out.LocalAddress = MappedIPv4(row.dwLocalAddr);
    out.LocalPort = PortOf(row.dwLocalPort);
    out.RemoteAddress = MappedIPv4(row.dwRemoteAddr);
    out.RemotePort = PortOf(row.dwRemotePort);
    out.OwnerPid = row.dwOwningPid;
    ForgetRemoteOfListener(out);
    return out;
}

TcpRow RowOf(const MIB_TCP6ROW_OWNER_PID& row) {
    TcpRow out;
    out.State = StateOf(row.dwState);
    out.Family = SocketFamily::IPv6;
    std::memcpy(out.LocalAddress.data(), row.ucLocalAddr, out.LocalAddress.size());
    out.LocalPort = PortOf(row.dwLocalPort);
    std::memcpy(out.RemoteAddress.data(), row.ucRemoteAddr, out.RemoteAddress.size());
    out.RemotePort = PortOf(row.dwRemotePort);
    out.OwnerPid = row.dwOwningPid;
    ForgetRemoteOfListener(out);
    return out;
}

MIB_TCPROW DeleteRowOf(const TcpRow& row) {
    MIB_TCPROW out{};
    out.dwState = MIB_TCP_STATE_DELETE_TCB;
    out.dwLocalAddr = IPv4Of(row.LocalAddress);
    out.dwLocalPort = PortField(row.LocalPort);
    out.dwRemoteAddr = IPv4Of(row.RemoteAddress);
    out.dwRemotePort = PortField(row.RemotePort);
    return out;
}

std::string ConnectionText(const TcpRow& row) {
    std::string text = AddressText(row.LocalAddress, true);
    text.append(":").append(std::to_string(row.LocalPort)).append(" -> ");
    text.append(AddressText(row.RemoteAddress, true));
    text.append(":").append(std::to_string(row.RemotePort));
    return text;
}

}  // namespace quarnel::platform
