#include "app/ListEditing.h"

#include <QListWidget>

#include <optional>
#include <vector>

#include "container/Value.h"
#include "engine/AddressText.h"

namespace quarnel {

namespace {

std::string_view TrimBlanks(std::string_view text) {
    const auto first = text.find_first_not_of(' ');
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

std::vector<std::string_view> SplitAtPoints(std::string_view text) {
    std::vector<std::string_view> parts;
    for (;;) {
        const auto point = text.find('.');
        parts.push_back(text.substr(0, point));
        if (point == std::string_view::npos) {
            return parts;
        }
        text.remove_prefix(point + 1);
    }
}

// The address as the connection table writes it: "010.000.000.001" and "+10. 0.0.1" are both
// "10.0.0.1", so that a stored address matches the connections it is meant to protect.
std::string PlainAddress(std::string_view validAddress) {
    std::string plain;
    for (const std::string_view part : SplitAtPoints(validAddress)) {
        if (!plain.empty()) {
            plain += '.';
        }
        plain += std::to_string(ToInteger(part));
    }
    return plain;
}

}  // namespace

std::int16_t ToInteger(std::string_view text) {
    return ToIntegerValue(Value{std::string(text)}).value_or(0);
}

std::int32_t ToLong(std::string_view text) {
    return ToLongValue(Value{std::string(text)}).value_or(0);
}

bool IsValidIP(std::string_view text) {
    if (text.empty()) {
        return false;
    }
    const std::vector<std::string_view> parts = SplitAtPoints(text);
    if (parts.size() != 4) {
        return false;
    }
    for (const std::string_view part : parts) {
        const std::optional<std::int16_t> value = ToIntegerValue(Value{std::string(part)});
        if (!value || *value < 0 || *value > 255) {
            return false;
        }
    }
    return true;
}

std::optional<std::string> IPv6Entry(std::string_view text) {
    if (text.find(':') == std::string_view::npos) {
        return std::nullopt;  // IPv4 forms are IsValidIP's
    }
    const std::optional<platform::IpAddress> address = ParseAddress(text);
    if (!address) {
        return std::nullopt;
    }
    return CanonicalAddressText(*address);
}

bool IsValidPort(std::string_view text) {
    const std::int32_t port = ToLong(text);
    return port >= 1 && port <= 65535;
}

void AddToCurrentList(Manager& oManager, std::string text, Messages& messages) {
    text = std::string(TrimBlanks(text));
    if (text.empty()) {
        return;
    }
    switch (oManager.CurrentMode) {
        case ModeAllowedIP:
            if (IsValidIP(text)) {
                text = PlainAddress(text);
            } else if (std::optional<std::string> ipv6 = IPv6Entry(text)) {
                text = *std::move(ipv6);
            } else {
                messages.Show(InvalidIPText);
                return;
            }
            break;
        case ModeBlockedLocalPorts:
        case ModeBlockedRemotePorts:
            if (!IsValidPort(text)) {
                messages.Show(InvalidPortText);
                return;
            }
            break;
        default:
            return;  // the read-only views take no entries
    }
    if (oManager.CurrentList == nullptr) {
        return;
    }
    if (oManager.CurrentList->FindItem("=", text, false, 0, false, 1) < 0) {
        // A port list keeps the number; the text is known to convert.
        (void)oManager.CurrentList->AddItem(text);
    }
    // Also when the entry was there already: the lists are saved and shown again.
    oManager.SaveChanges();
    oManager.RefreshCurrentMode();
}

void DeleteSelectedItem(Manager& oManager, const QListWidget& lstMain) {
    if (oManager.CurrentList == nullptr || oManager.CurrentList->GetItemCount() == 0 ||
        lstMain.count() == 0) {
        return;
    }
    const QList<QListWidgetItem*> selected = lstMain.selectedItems();  // one at most
    const std::string text = selected.isEmpty() ? "" : selected.front()->text().toStdString();
    if (text.empty()) {
        return;
    }
    const std::int32_t index = oManager.CurrentList->FindItem("=", text, false, 0, false, 1);
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
