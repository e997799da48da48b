#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "engine/Manager.h"
#include "platform/TcpTableSource.h"
#include "window/Messages.h"

namespace quarnel {

// What the menu of a connection line offers for the row behind it, each as its menu text; an
// empty text is a choice the row does not offer (a listener has no remote end and cannot be
// closed from here).
struct ConnectionChoices {
    std::string CloseNow;
    std::string BlockLocalPort;
    std::string BlockRemotePort;
    std::string AllowRemoteAddress;
};
ConnectionChoices ChoicesFor(const platform::TcpRow& row);

// Closes the connection of row now through closer (the table's source); tells the user when it
// could not be closed.
using CloseConnection = std::function<bool(const platform::TcpRow& row)>;
void CloseNow(const platform::TcpRow& row, const CloseConnection& closer, Messages& messages);

// Blocks row's local port (local) or its remote port, through the same checks, saving and
// immediate effect as typing it in the list's box. First asks, saying how many connections the
// block closes at once, this one included; whether it was blocked.
bool BlockPortOf(Manager& oManager, const platform::TcpRow& row, bool local, Messages& messages);

// Allows row's remote address, as typing it in the allowed list's box does; whether it was
// taken.
bool AllowRemoteAddressOf(Manager& oManager, const platform::TcpRow& row, Messages& messages);

}  // namespace quarnel
