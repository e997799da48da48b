#include "engine/LocalAddresses.h"

#include <array>
#include <cstring>
#include <string>

#include "engine/Manager.h"

namespace quarnel {

std::string ErrorText(std::string_view procedureName, std::int32_t number,
                      std::string_view description) {
    std::string text(procedureName);
    text += ": error ";
    text += std::to_string(number);
    text += ": ";
    text += description;
    return text;
}

void ReportError(ManagerWindow* window, std::string_view procedureName, std::int32_t number,
                 std::string_view description) {
    if (window != nullptr) {
        window->ShowMessage(ErrorText(procedureName, number, description));
    }
}

std::string GetIP(platform::HostAddressSource& hosts, ManagerWindow* window) {
    const platform::HostAddresses found = hosts.GetHostAddresses();
    if (found.Failure) {
        ReportError(window, "GetIP", found.Failure->Number, found.Failure->Description);
        return {};
    }
    std::string text;
    for (const std::uint32_t address : found.Addresses) {
        // Network byte order: the first octet is the lowest-addressed byte.
        std::array<std::uint8_t, 4> octets{};
        std::memcpy(octets.data(), &address, octets.size());
        for (std::size_t i = 0; i < octets.size(); ++i) {
            text += std::to_string(octets[i]);
            text += i + 1 < octets.size() ? '.' : ' ';
        }
    }
    return text;
}

void Manager::RefreshLocalIPList() {
    oLocalIP.Reset();
    const std::string addresses = GetIP(Hosts, oMainForm);
    std::string_view rest = addresses;
    while (!rest.empty()) {
        const auto blank = rest.find(' ');
        const std::string_view piece = rest.substr(0, blank);
        if (!piece.empty()) {
            (void)oLocalIP.AddItem(std::string(piece));  // text always fits a text list
        }
        rest = blank == std::string_view::npos ? std::string_view{} : rest.substr(blank + 1);
    }
}

void Manager::AddLocalIPSToAllowed() {
    for (std::int32_t i = 0; i < oLocalIP.GetItemCount(); ++i) {
        const std::string address = ValueText(oLocalIP.GetItem(i));
        if (!address.empty() && oAllowedIP.FindItem("=", address, true, 0, false, 1) < 0) {
            (void)oAllowedIP.AddItem(address);  // text always fits a text list
        }
    }
}

}  // namespace quarnel
