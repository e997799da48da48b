#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "platform/linux/sockdiag/LinuxTcpTable.h"
#include "tests/support/Rows.h"
#include "tests/support/Sockets.h"

// The real table as the tests read it, and the loopback connections they find in it.

namespace quarnel::platform {

using testsupport::Ip;
using testsupport::Row;

// Opens the real table; records a failure (with the reason) when the system refuses.
inline std::unique_ptr<LinuxTcpTable> OpenTable() {
    int error = 0;
    auto table = LinuxTcpTable::Open(&error);
    EXPECT_TRUE(table) << "cannot open the TCP table: " << std::strerror(error);
    return table;
}

// One read of the table; records a failure when the read fails.
inline std::vector<TcpRow> ReadRows(TcpTableSource& table) {
    std::vector<TcpRow> rows;
    EXPECT_TRUE(table.ReadTable(rows)) << "the table could not be read";
    return rows;
}

// The one row with these ports; none when there is none (or, recording a failure, several).
inline std::optional<TcpRow> RowWithPorts(const std::vector<TcpRow>& rows, int localPort,
                                          int remotePort) {
    const auto named = [&](const TcpRow& row) {
        return row.LocalPort == localPort && row.RemotePort == remotePort;
    };
    EXPECT_LE(std::ranges::count_if(rows, named), 1) << localPort << " -> " << remotePort;
    const auto found = std::ranges::find_if(rows, named);
    return found == rows.end() ? std::nullopt : std::optional(*found);
}

// The rows ordered by their socket cookie, to compare tables whose order may differ.
inline std::vector<TcpRow> SortedByCookie(std::vector<TcpRow> rows) {
    std::ranges::sort(rows, {}, &TcpRow::Cookie);
    return rows;
}

// One loopback connection to a listener of its own; check c.server.
struct Loopback {
    testsupport::Listener listener = testsupport::ListenIPv4();
    testsupport::Connection c = testsupport::Connect(listener);

    // The row of its client end among rows, if there.
    std::optional<TcpRow> RowIn(const std::vector<TcpRow>& rows) const {
        return RowWithPorts(rows, c.clientPort, listener.port);
    }
};

}  // namespace quarnel::platform
