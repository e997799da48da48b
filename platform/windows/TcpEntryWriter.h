#pragma once

// clang-format off
#include <winsock2.h>
#include <iphlpapi.h>
// clang-format on

namespace quarnel::platform {

// What closing an IPv4 connection goes through: SetTcpEntry, which applies a changed row to the
// system's table (a row in state 12, DELETE_TCB, tears its connection down). Tests put a
// recorder in its place and see exactly which row was handed over, in which state.
class TcpEntryWriter {
public:
    virtual ~TcpEntryWriter() = default;

    // Hands the row over; the system's answer, NO_ERROR when it took it.
    virtual unsigned long SetTcpEntry(const MIB_TCPROW& row) = 0;
    // Whether what the system takes is carried out. Wine takes every row and closes nothing.
    virtual bool CarriedOut() const = 0;
};

// The system's own SetTcpEntry.
class SystemTcpEntries final : public TcpEntryWriter {
public:
    unsigned long SetTcpEntry(const MIB_TCPROW& row) override;
    bool CarriedOut() const override;
};

// Whether this process runs under Wine rather than Windows.
bool RunningUnderWine();

}  // namespace quarnel::platform
