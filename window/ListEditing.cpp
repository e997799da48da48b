#include "window/ListEditing.h"

#include <optional>

#include "platform/RuleEntry.h"

namespace quarnel {

namespace {

std::string_view TrimBlanks(std::string_view text) {
    const auto first = text.find_first_not_of(' ');
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

}  // namespace

std::string HostBitsText(const std::string& network) {
    return "This prefix has bits set past its length; the network is " + network + ".";
}

TypedEntry TypedAllowedEntry(std::string_view text) {
    const platform::AddressEntry entry = platform::ParseAddressEntry(text, true);
    switch (entry.Is) {
        case platform::AddressEntry::Kind::Prefix:
            return {platform::AddressEntryText(entry.Prefix), {}};
        case platform::AddressEntry::Kind::HostBitsSet:
            return {{}, HostBitsText(platform::AddressEntryText(entry.Prefix))};
        case platform::AddressEntry::Kind::NotAnEntry:
            break;
    }
    return {{}, InvalidIPText};
}

void AddToCurrentList(Manager& oManager, std::string text, Messages& messages) {
    (void)AddToList(oManager, oManager.CurrentMode, std::move(text), messages);
}

bool AddToList(Manager& oManager, std::int16_t view, std::string text, Messages& messages) {
    text = std::string(TrimBlanks(text));
    if (text.empty()) {
        return false;
    }
    List* list = nullptr;
    switch (view) {
        case ModeAllowedIP: {
            TypedEntry entry = TypedAllowedEntry(text);
            if (!entry.Problem.empty()) {
                messages.Show(entry.Problem);
                return false;
            }
            text = std::move(entry.Text);
            list = &oManager.oAllowedIP;
            break;
        }
        case ModeBlockedLocalPorts:
        case ModeBlockedRemotePorts: {
            const std::optional<platform::PortRange> range = platform::ParsePortEntry(text);
            if (!range) {
                messages.Show(InvalidPortText);
                return false;
            }
            text = platform::PortEntryText(*range);
            list = view == ModeBlockedLocalPorts ? &oManager.oBlockedLocalPorts
                                                 : &oManager.oBlockedRemotePorts;
            break;
        }
        default:
            return false;  // the read-only views take no entries
    }
    if (list->FindItem("=", text, false, 0, false, 1) < 0) {
        (void)list->AddItem(text);  // a text list takes any text
    }
    // Also when the entry was there already: the lists are saved and shown again.
    oManager.SaveChanges();
    oManager.RefreshCurrentMode();
    return true;
}

void DeleteSelectedItem(Manager& oManager, const std::string& selected) {
    if (oManager.CurrentList == nullptr || oManager.CurrentList->GetItemCount() == 0 ||
        selected.empty()) {
        return;
    }
    const std::int32_t index = oManager.CurrentList->FindItem("=", selected, false, 0, false, 1);
    if (index >= 0) {
        (void)oManager.CurrentList->DeleteItem(index);  // an index just found is in range
    }
    oManager.SaveChanges();
    oManager.RefreshCurrentMode();
}

void AddLocalIPs(Manager& oManager, Messages& messages) {
    if (messages.Confirm(AddLocalIPsQuestion)) {
        oManager.AddLocalIPSToAllowed();
        oManager.RefreshCurrentMode();
    }
}

}  // namespace quarnel
