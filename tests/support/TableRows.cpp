#include "tests/support/TableRows.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace quarnel::platform {

std::unique_ptr<LinuxTcpTable> OpenTable() {
    int error = 0;
    auto table = LinuxTcpTable::Open(&error);
    EXPECT_TRUE(table) << "cannot open the TCP table: " << std::strerror(error);
    return table;
}

std::vector<TcpRow> ReadRows(TcpTableSource& table) {
    std::vector<TcpRow> rows;
    EXPECT_TRUE(table.ReadTable(rows)) << "the table could not be read";
    return rows;
}

std::optional<TcpRow> RowWithPorts(const std::vector<TcpRow>& rows, int localPort, int remotePort) {
    const auto named = [&](const TcpRow& row) {
        return row.LocalPort == localPort && row.RemotePort == remotePort;
    };
    EXPECT_LE(std::ranges::count_if(rows, named), 1) << localPort << " -> " << remotePort;
    const auto found = std::ranges::find_if(rows, named);
    return found == rows.end() ? std::nullopt : std::optional(*found);
}

std::vector<TcpRow> SortedByCookie(std::vector<TcpRow> rows) {
    std::ranges::sort(rows, {}, &TcpRow::Cookie);
    return rows;
}

}  // namespace quarnel::platform
