#include "window/ConnectionActions.h"

#include "engine/RuleSet.h"
#include "platform/RuleEntry.h"
#include "window/ListEditing.h"

namespace quarnel {

namespace {

bool HasRemoteEnd(const platform::TcpRow& row) {
    return row.State != platform::TcpState::Listening && row.RemotePort > 0 &&
           platform::IsPortNumber(row.RemotePort);
}

// The connections the rules leave open now that a block of port (local, or remote) would close.
std::size_t ClosedByBlock(const Manager& oManager, std::int32_t port, bool local) {
    std::size_t count = 0;
    for (const platform::TcpRow& row : oManager.Table().Rows) {
        if (row.State == platform::TcpState::Established &&
            (local ? row.LocalPort : row.RemotePort) == port &&
            oManager.Rules().Judge(row) == Verdict::Passed) {
            ++count;
        }
    }
    return count;
}

}  // namespace

ConnectionChoices ChoicesFor(const platform::TcpRow& row) {
    ConnectionChoices choices;
    if (row.LocalPort > 0 && platform::IsPortNumber(row.LocalPort)) {
        choices.BlockLocalPort = "Block local port " + std::to_string(row.LocalPort);
    }
    if (HasRemoteEnd(row)) {
        choices.CloseNow = "Close this connection";
        choices.BlockRemotePort = "Block remote port " + std::to_string(row.RemotePort);
        choices.AllowRemoteAddress =
            "Allow remote address " + platform::CanonicalAddressText(row.RemoteAddress);
    }
    return choices;
}

void CloseNow(const platform::TcpRow& row, const CloseConnection& closer, Messages& messages) {
    if (closer && closer(row)) {
        return;
    }
    messages.Show(
        "This connection could not be closed: it may have ended already, or Quarnel may not close "
        "connections here (its icon's tooltip says what it does).");
}

bool BlockPortOf(Manager& oManager, const platform::TcpRow& row, bool local, Messages& messages) {
    const std::int32_t port = local ? row.LocalPort : row.RemotePort;
    const std::size_t closed = ClosedByBlock(oManager, port, local);
    std::string question = std::string("Block ") + (local ? "local" : "remote") + " port " +
                           std::to_string(port) + "? ";
    if (closed > 1) {
        question +=
            "It closes " + std::to_string(closed) + " open connections at once, this one included.";
    } else if (closed == 1) {
        question += "It closes this connection at once.";
    } else {
        question += "It closes every connection on it from now on.";
    }
    if (!messages.Confirm(question)) {
        return false;
    }
    return AddToList(oManager, local ? ModeBlockedLocalPorts : ModeBlockedRemotePorts,
                     std::to_string(port), messages);
}

bool AllowRemoteAddressOf(Manager& oManager, const platform::TcpRow& row, Messages& messages) {
    return AddToList(oManager, ModeAllowedIP, platform::CanonicalAddressText(row.RemoteAddress),
                     messages);
}

}  // namespace quarnel
