#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "engine/CloseReport.h"
#include "engine/Manager.h"
#include "platform/ConnectionOwner.h"

namespace quarnel {

// The list box as the connection view's refresh changes it, line by line.
class ConnectionListBox {
public:
    virtual ~ConnectionListBox() = default;

    virtual std::int32_t LineCount() const = 0;
    virtual void ReplaceLine(std::int32_t index, const std::string& text) = 0;
    virtual void AppendLine(const std::string& text) = 0;
    // Removes the lines from index on.
    virtual void RemoveLinesFrom(std::int32_t index) = 0;
};

// The refresh timer's work while the connection view is on screen: the connection lines are
// rebuilt if the rows changed, and when they differ from those last shown (the Manager's
// oCurrentConnectionsCached), the list box follows. Only the lines that differ change, in the
// copy as in the list box, so a few changed rows of a long table cost a few lines; a list box
// that shows something else than the copy is filled afresh.
void RefreshShownConnections(Manager& oManager, ConnectionListBox& lstMain);

// What hovering a connection line shows of its owner: "Program: curl\nProcess ID: 812\nUser:
// alice"; "Program: unknown" for a line whose owner is not known; empty for no line. The user
// is named by userName, by number without it; a userName that names nobody leaves the line out
// (a system that tells no user of a connection).
std::string OwnerToolTip(const std::optional<platform::ConnectionOwner>& owner,
                         const UserNameOf& userName);

}  // namespace quarnel
