#include "tests/platform/TableRows.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>

#include "tests/support/Sockets.h"
#include "tests/support/WaitUntil.h"

namespace quarnel::platform {

void PrintTo(const TcpRow& row, std::ostream* out) {
    char local[INET_ADDRSTRLEN] = "?";
    char remote[INET_ADDRSTRLEN] = "?";
    (void)inet_ntop(AF_INET, &row.LocalAddress, local, sizeof local);
    (void)inet_ntop(AF_INET, &row.RemoteAddress, remote, sizeof remote);
    *out << "{state " << row.State << ", " << local << ":" << row.LocalPort << " -> " << remote
         << ":" << row.RemotePort << ", "
         << (row.Family == SocketFamily::IPv4 ? "IPv4" : "mapped IPv6") << ", if " << row.Interface
         << ", cookie " << row.Cookie << "}";
}

std::unique_ptr<LinuxTcpTable> OpenTable() {
    int error = 0;
    auto table = LinuxTcpTable::Open(&error);
    if (!table) {
        ADD_FAILURE() << "cannot open the TCP table: " << std::strerror(error);
    }
    return table;
}

std::vector<TcpRow> ReadRows(TcpTableSource& table) {
    std::vector<TcpRow> rows;
    EXPECT_TRUE(table.ReadTable(rows)) << "the table could not be read";
    return rows;
}

std::vector<TcpRow> RowsWithPorts(const std::vector<TcpRow>& rows, int localPort, int remotePort) {
    std::vector<TcpRow> found;
    for (const TcpRow& row : rows) {
        if (row.LocalPort == localPort && row.RemotePort == remotePort) {
            found.push_back(row);
        }
    }
    return found;
}

std::optional<TcpRow> RowWithPorts(const std::vector<TcpRow>& rows, int localPort, int remotePort) {
    const std::vector<TcpRow> found = RowsWithPorts(rows, localPort, remotePort);
    EXPECT_LE(found.size(), 1u) << "ports " << localPort << " -> " << remotePort;
    if (found.empty()) {
        return std::nullopt;
    }
    return found.front();
}

std::vector<TcpRow> SortedByCookie(std::vector<TcpRow> rows) {
    std::sort(rows.begin(), rows.end(),
              [](const TcpRow& a, const TcpRow& b) { return a.Cookie < b.Cookie; });
    return rows;
}

bool WaitForState(TcpTableSource& table, int localPort, int remotePort, std::int32_t state) {
    return testsupport::WaitUntil([&] {
        std::vector<TcpRow> rows;
        if (!table.ReadTable(rows)) {
            return false;
        }
        const std::vector<TcpRow> found = RowsWithPorts(rows, localPort, remotePort);
        return state == 0 ? found.empty() : found.size() == 1 && found[0].State == state;
    });
}

TcpRow Row(std::int32_t state, const char* local, int localPort, const char* remote, int remotePort,
           SocketFamily family, std::uint64_t cookie) {
    TcpRow row;
    row.State = state;
    row.LocalAddress = testsupport::RawIPv4(local);
    row.LocalPort = localPort;
    row.RemoteAddress = testsupport::RawIPv4(remote);
    row.RemotePort = remotePort;
    row.Family = family;
    row.Cookie = cookie;
    return row;
}

}  // namespace quarnel::platform
