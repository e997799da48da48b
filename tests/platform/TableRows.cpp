#include "tests/platform/TableRows.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

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
    EXPECT_TRUE(table) << "cannot open the TCP table: " << std::strerror(error);
    return table;
}

std::vector<TcpRow> ReadRows(TcpTableSource& table) {
    std::vector<TcpRow> rows;
    EXPECT_TRUE(table.ReadTable(rows)) << "the table could not be read";
    return rows;
}

std::optional<TcpRow> RowWithPorts(const std::vector<TcpRow>& rows, int localPort, int remotePort) {
    std::optional<TcpRow> found;
    for (const TcpRow& row : rows) {
        if (row.LocalPort == localPort && row.RemotePort == remotePort) {
            EXPECT_FALSE(found) << "two rows " << localPort << " -> " << remotePort;
            found = row;
        }
    }
    return found;
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
        const std::optional<TcpRow> row = RowWithPorts(rows, localPort, remotePort);
        return state == 0 ? !row : row && row->State == state;
    });
}

TcpRow Row(std::int32_t state, const char* local, int localPort, const char* remote, int remotePort,
           SocketFamily family, std::uint64_t cookie) {
    return {state,      testsupport::RawIPv4(local),
            localPort,  testsupport::RawIPv4(remote),
            remotePort, family,
            0,          cookie};
}

int ReceiveError(int fd) {
    char byte;
    return ::recv(fd, &byte, 1, MSG_DONTWAIT) < 0 ? errno : 0;
}

bool StillCarries(const testsupport::Connection& c) {
    for (const auto& [from, to] :
         {std::pair{c.client.Get(), c.server.Get()}, std::pair{c.server.Get(), c.client.Get()}}) {
        char byte = 'q';
        if (::send(from, &byte, 1, MSG_NOSIGNAL) != 1 || ::recv(to, &byte, 1, 0) != 1) {
            return false;
        }
    }
    return true;
}

}  // namespace quarnel::platform
