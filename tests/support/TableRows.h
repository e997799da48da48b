#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <vector>

#include "platform/linux/sockdiag/LinuxTcpTable.h"
#include "tests/support/Rows.h"
#include "tests/support/Sockets.h"

// The real table as the tests read it, and the loopback connections they find in it.

namespace quarnel::platform {

using testsupport::Ip;
using testsupport::Row;

// Opens the real table; records a failure (with the reason) when the system refuses.
std::unique_ptr<LinuxTcpTable> OpenTable();

// One read of the table; records a failure when the read fails.
std::vector<TcpRow> ReadRows(TcpTableSource& table);

// The one row with these ports; none when there is none (or, recording a failure, several).
std::optional<TcpRow> RowWithPorts(const std::vector<TcpRow>& rows, int localPort, int remotePort);

// The rows ordered by their socket cookie, to compare tables whose order may differ.
std::vector<TcpRow> SortedByCookie(std::vector<TcpRow> rows);

// One loopback connection to a listener of its own; check c.server.
struct Loopback {
    testsupport::Listener listener = testsupport::ListenIPv4();
    testsupport::Connection c = testsupport::Connect(listener);

    // The row of its client end among rows, if there.
    std::optional<TcpRow> RowIn(const std::vector<TcpRow>& rows) const {
        return RowWithPorts(rows, c.clientPort, listener.port);
    }
};

using testsupport::ReceiveError;
// Whether one byte makes it across the connection in both directions.
inline bool StillCarries(const testsupport::Connection& c) {
    return testsupport::Carries(c, true);
}

}  // namespace quarnel::platform
