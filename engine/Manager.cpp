#include "engine/Manager.h"

#include <array>
#include <string_view>

namespace quarnel {

namespace {

constexpr std::array<std::string_view, 5> ModeHeadings = {
    "Current Connections", "Local IP Addresses", "Allowed IP Addresses", "Blocked Local Ports",
    "Blocked Remote Ports"};

bool IsKnownMode(std::int16_t mode) {
    return mode >= ModeCurrentConnections && mode <= ModeBlockedRemotePorts;
}

}  // namespace

bool ToBoolean(const Value& value) {
    const std::optional<double> number = ToDoubleValue(value);
    return number.has_value() && *number != 0.0;
}

Manager::Manager(const TcpTable& table, ConnectionCache& cache, SettingsStore& store,
                 platform::HostAddressSource& hosts)
    : table_(table), cache_(cache), store_(store), hosts_(hosts) {
    oLocalIP.InitStringList();
    oAllowedIP.InitStringList();
    // Port entries are texts: a port ("22") or a range ("6000-6063"), see PortListEntry.
    oBlockedLocalPorts.InitStringList();
    oBlockedRemotePorts.InitStringList();
    oCurrentConnections.InitStringList();
    oCurrentConnectionsCached.InitStringList();
}

void Manager::SetCurrentMode(std::int16_t iMode) {
    CurrentMode = iMode;
    if (IsKnownMode(iMode)) {
        CurrentModeDescriptor = ModeHeadings[static_cast<std::size_t>(iMode)];
    }
    SetLists();
    SetMenus();
    SetCaptions();
}

void Manager::SetLists() {
    switch (CurrentMode) {
        case ModeCurrentConnections:
            RefreshCurrentConnectionsIfStale();  // built only now that they are shown
            CurrentList = &oCurrentConnections;
            break;
        case ModeLocalIP:
            RefreshLocalIPList();  // gathered anew every time the view is shown
            CurrentList = &oLocalIP;
            break;
        case ModeAllowedIP:
            CurrentList = &oAllowedIP;
            break;
        case ModeBlockedLocalPorts:
            CurrentList = &oBlockedLocalPorts;
            break;
        case ModeBlockedRemotePorts:
            CurrentList = &oBlockedRemotePorts;
            break;
        default:
            break;  // an unknown mode keeps the list shown before
    }
    LoadInListbox();
}

void Manager::LoadInListbox() {
    if (oMainForm == nullptr) {
        return;
    }
    oMainForm->ClearList();
    if (CurrentList == nullptr) {
        return;
    }
    const std::int32_t count = CurrentList->GetItemCount();
    for (std::int32_t i = 0; i < count; ++i) {
        oMainForm->AppendToList(ValueText(CurrentList->GetItem(i)));
    }
    // The connection lines now shown are the copy the window compares the next lines with.
    if (CurrentList == &oCurrentConnections) {
        oCurrentConnectionsCached.Reset();
        for (std::int32_t i = 0; i < count; ++i) {
            (void)oCurrentConnectionsCached.AddItem(oCurrentConnections.GetItem(i));
        }
        ConnectionLinesShown();
    }
}

void Manager::SetMenus() {
    if (oMainForm == nullptr) {
        return;
    }
    const bool readOnlyView = CurrentMode == ModeCurrentConnections || CurrentMode == ModeLocalIP;
    oMainForm->SetEditingEnabled(!readOnlyView);
}

void Manager::SetCaptions() {
    if (oMainForm != nullptr) {
        oMainForm->SetHeading(CurrentModeDescriptor);
    }
}

void Manager::RefreshCurrentMode() {
    SetCurrentMode(CurrentMode);
}

void Manager::RefreshCurrentConnectionsIfStale() {
    if (connectionsStale_) {
        RefreshCurrentConnections();
    }
}

void Manager::RefreshCurrentConnections() {
    connectionsStale_ = false;
    const bool showOnlyConnected =
        oMainForm != nullptr && ToBoolean(oMainForm->ShowOnlyConnectedValue());
    const bool hideLocal = oMainForm != nullptr && ToBoolean(oMainForm->HideLocalValue());

    oCurrentConnections.Reset();
    lineRows_.clear();
    const std::size_t rows = table_.Rows.size();
    for (std::size_t i = 0; i < rows; ++i) {
        const platform::TcpRow& row = table_.Rows[i];
        if (row.LocalPort == 0) {
            continue;
        }
        if (showOnlyConnected && row.State != platform::TcpState::Established) {
            continue;
        }
        // A row the pass has not reached since the cache was last cleared has no remote
        // address text yet; it is listed once the pass has seen it.
        if (i >= cache_.Entries.size() || !cache_.Entries[i].Key) {
            continue;
        }
        const std::string& remoteIP = cache_.Entries[i].RemoteIP;
        if (hideLocal && IsLoopbackText(remoteIP)) {
            continue;
        }
        (void)oCurrentConnections.AddItem(DisplayLine(row, remoteIP));  // text always fits
        lineRows_.push_back(row);
    }
}

std::optional<platform::TcpRow> Manager::RowOfShownLine(std::int32_t line) const {
    if (line < 0 || static_cast<std::size_t>(line) >= shownRows_.size()) {
        return std::nullopt;
    }
    return shownRows_[static_cast<std::size_t>(line)];
}

std::optional<platform::ConnectionOwner> Manager::OwnerOfConnectionLine(std::int32_t line) const {
    const std::optional<platform::TcpRow> row = RowOfShownLine(line);
    if (!row) {
        return std::nullopt;
    }
    return OwnerOfRow && row->OwnerPid != 0 ? OwnerOfRow(*row) : platform::ConnectionOwner{};
}

}  // namespace quarnel
