#pragma once

#include <cstdint>
#include <vector>

#include "platform/TcpTableSource.h"

namespace quarnel::platform {

// Reads only the rows in some of the TCP states, at the cost of those rows rather than of the
// whole table.
class StateTableReader {
public:
    virtual ~StateTableReader() = default;

    // Refills rows with the table's rows whose Linux TCP state (linux_tcp) has its bit set in
    // linuxStates. On failure returns false and leaves rows as they were.
    virtual bool ReadTableInStates(std::vector<TcpRow>& rows, std::uint32_t linuxStates) = 0;
};

}  // namespace quarnel::platform
