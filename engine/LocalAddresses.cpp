#include "engine/LocalAddresses.h"

#include <string>

#include "engine/AddressText.h"
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
        text += CanonicalAddressText(platform::MappedIPv4(address));
        text += ' ';
    }
    for (const platform::IpAddress& address : found.IPv6Addresses) {
        text += CanonicalAddressText(address);
        text += ' ';
    }
    return text;
}

void Manager::RefreshLocalIPList() {
    oLocalIP.Reset();
    (void)AddPieces(oLocalIP, GetIP(hosts_, oMainForm), ' ');  // every piece is text
}

void Manager::AddLocalIPSToAllowed() {
    for (std::int32_t i = 0; i < oLocalIP.GetItemCount(); ++i) {
        const std::string address = ValueText(oLocalIP.GetItem(i));
        if (!address.empty() && oAllowedIP.FindItem("=", address, true, 0, false, 1) < 0) {
            (void)oAllowedIP.AddItem(address);  // text always fits a text list
        }
    }
    // New connections from these addresses are allowed at once; those already judged keep
    // their verdicts until the next edit clears the cache.
    CompileRules();
}

}  // namespace quarnel
