#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <vector>

#include "platform/TcpTableSource.h"
#include "platform/linux/LinuxTcpTable.h"

namespace quarnel::platform {

// Shows a row readably in failure messages.
void PrintTo(const TcpRow& row, std::ostream* out);

// Opens the real table; records a failure (with the reason) when the system refuses.
std::unique_ptr<LinuxTcpTable> OpenTable();

// One read of the table; records a failure when the read fails.
std::vector<TcpRow> ReadRows(TcpTableSource& table);

// The rows with these ports, in table order.
std::vector<TcpRow> RowsWithPorts(const std::vector<TcpRow>& rows, int localPort, int remotePort);

// The rows ordered by their socket cookie, to compare tables whose order may differ.
std::vector<TcpRow> SortedByCookie(std::vector<TcpRow> rows);

// The one row with these ports; none when there is none (or, recording a failure, several).
std::optional<TcpRow> RowWithPorts(const std::vector<TcpRow>& rows, int localPort, int remotePort);

// Waits until the row with these ports is in state (0: until it is gone).
bool WaitForState(TcpTableSource& table, int localPort, int remotePort, std::int32_t state);

// The row a test expects, in field order (interface 0: bound to no device).
TcpRow Row(std::int32_t state, const char* local, int localPort, const char* remote, int remotePort,
           SocketFamily family, std::uint64_t cookie);

}  // namespace quarnel::platform
