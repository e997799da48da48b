#include "engine/ConnectionTable.h"

#include <arpa/inet.h>

#include <string>

namespace quarnel {

namespace {
constexpr std::size_t MaxAddressTextLength = 32;
}

std::optional<std::string> FormatAddress(std::uint32_t address) {
    in_addr raw{};
    raw.s_addr = address;  // already in network byte order
    char text[INET_ADDRSTRLEN] = {};
    if (inet_ntop(AF_INET, &raw, text, sizeof text) == nullptr) {
        return std::nullopt;
    }
    return std::string(text);
}

std::string GetIPString(std::uint32_t address, AddressFormatter format) {
    std::optional<std::string> text = format(address);
    if (!text || text->empty()) {
        return "Unable to get IP";
    }
    if (text->size() > MaxAddressTextLength) {
        text->resize(MaxAddressTextLength);
    }
    return *std::move(text);
}

std::string RemoteAddressText(const platform::TcpRow& row, AddressFormatter format) {
    if (row.RemoteAddress == 0) {
        return "0.0.0.0";
    }
    return GetIPString(row.RemoteAddress, format);
}

std::string DisplayLine(const platform::TcpRow& row, std::string_view remoteAddressText,
                        AddressFormatter format) {
    std::string line = std::to_string(row.LocalPort);
    line += ' ';
    if (remoteAddressText != "0.0.0.0" && row.LocalAddress != 0) {
        line += "<--> ";
        line += remoteAddressText;
        line += ':';
        line += std::to_string(row.RemotePort);
        line += ' ';
    } else if (row.LocalAddress != 0) {
        line += ':';
        line += GetIPString(row.LocalAddress, format);
        line += ' ';
    }
    const auto state = static_cast<std::int32_t>(row.State);
    if (state >= 0 && state < static_cast<std::int32_t>(TcpStateNames.size())) {
        line += TcpStateNames[static_cast<std::size_t>(state)];
    }
    return line;
}

}  // namespace quarnel
