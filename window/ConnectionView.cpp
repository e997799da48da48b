#include "window/ConnectionView.h"

#include <algorithm>

namespace quarnel {

void RefreshShownConnections(Manager& oManager, ConnectionListBox& lstMain) {
    oManager.RefreshCurrentConnectionsIfStale();
    const List& lines = oManager.oCurrentConnections;
    List& shown = oManager.oCurrentConnectionsCached;
    const std::int32_t count = lines.GetItemCount();
    const std::int32_t had = shown.GetItemCount();
    if (lstMain.LineCount() != had) {
        shown.Reset();
        for (std::int32_t i = 0; i < count; ++i) {
            (void)shown.AddItem(lines.GetItem(i));  // text into a text list always fits
        }
        oManager.RefreshCurrentMode();
        return;
    }
    for (std::int32_t i = 0; i < std::min(count, had); ++i) {
        Value line = lines.GetItem(i);
        if (line != shown.GetItem(i)) {
            lstMain.ReplaceLine(i, ValueText(line));
            (void)shown.SetItem(i, line);
        }
    }
    if (had > count) {
        (void)shown.DeleteLastItems(had - count);
        lstMain.RemoveLinesFrom(count);
    }
    for (std::int32_t i = had; i < count; ++i) {
        const Value line = lines.GetItem(i);
        (void)shown.AddItem(line);
        lstMain.AppendLine(ValueText(line));
    }
    oManager.ConnectionLinesShown();
}

std::string OwnerToolTip(const std::optional<platform::ConnectionOwner>& owner,
                         const UserNameOf& userName) {
    if (!owner) {
        return {};
    }
    if (!owner->Known()) {
        // It ended, no process holds it, or this user may not see the one that does.
        return "Program: unknown";
    }
    const std::string user = userName ? userName(owner->Uid) : std::to_string(owner->Uid);
    std::string text = "Program: " + std::string(owner->CommandText()) +
                       "\nProcess ID: " + std::to_string(owner->Pid);
    if (!user.empty()) {
        text += "\nUser: " + user;
    }
    return text;
}

}  // namespace quarnel
