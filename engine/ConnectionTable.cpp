#include "engine/ConnectionTable.h"

#include <string>

#include "engine/AddressText.h"

namespace quarnel {

namespace {

constexpr std::string_view NoRemoteText = "0.0.0.0";

// An IPv6 address text in brackets, so that the port after it stays apart.
void AppendAddress(std::string& line, std::string_view text) {
    const bool ipv6 = text.find(':') != std::string_view::npos;
    if (ipv6) {
        line += '[';
    }
    line += text;
    if (ipv6) {
        line += ']';
    }
}

}  // namespace

std::string RemoteAddressText(const platform::TcpRow& row) {
    if (platform::IsUnspecified(row.RemoteAddress)) {
        return std::string(NoRemoteText);
    }
    return CanonicalAddressText(row.RemoteAddress);
}

bool IsLoopbackText(std::string_view remoteAddressText) {
    return remoteAddressText == "127.0.0.1" || remoteAddressText == "::1";
}

std::string DisplayLine(const platform::TcpRow& row, std::string_view remoteAddressText) {
    std::string line = std::to_string(row.LocalPort);
    line += ' ';
    const bool local = !platform::IsUnspecified(row.LocalAddress);
    if (remoteAddressText != NoRemoteText && local) {
        line += "<--> ";
        AppendAddress(line, remoteAddressText);
        line += ':';
        line += std::to_string(row.RemotePort);
        line += ' ';
    } else if (local) {
        line += ':';
        AppendAddress(line, CanonicalAddressText(row.LocalAddress));
        line += ' ';
    }
    const auto state = static_cast<std::int32_t>(row.State);
    if (state >= 0 && state < static_cast<std::int32_t>(TcpStateNames.size())) {
        line += TcpStateNames[static_cast<std::size_t>(state)];
    }
    return line;
}

}  // namespace quarnel
