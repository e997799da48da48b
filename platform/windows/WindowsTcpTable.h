#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <set>
#include <vector>

#include "platform/TcpTableSource.h"
#include "platform/windows/ProcessNames.h"
#include "platform/windows/TcpEntryWriter.h"

namespace quarnel::platform {

// The TCP table of Windows, IPv4 and IPv6, with each connection's owner, from the IP Helper's
// GetExtendedTcpTable; read whole at every pass (Windows tells programs nothing of its changes).
// An IPv4 connection is closed through SetTcpEntry, which needs an administrator; Windows has
// no call that closes an IPv6 connection, so a blocked one is told once and stays open.
class WindowsTcpTable final : public SourceDefaults<> {
public:
    explicit WindowsTcpTable(TcpEntryWriter& entries) : entries_(entries) {}

    // The table in the system's order, IPv4 rows first. Unchanged when the system's table is
    // byte for byte the one handed to the same rows before.
    [[nodiscard]] ReadResult Read(std::vector<TcpRow>& rows, TableChanges* changes) override;
    [[nodiscard]] bool CloseConnection(const TcpRow& row) override;
    // Allowed for an administrator's process (elevated), NoPermission otherwise; NotSupported
    // where the system takes rows and closes nothing (Wine).
    CloseAbility CanCloseConnections() override;
    std::optional<SourceNotice> TakeNotice() override;
    ConnectionOwner Owner(const TcpRow& row) const override;

    // From now on closes nothing: the program only shows connections.
    void CloseNothing() { closeNothing_ = true; }

private:
    // The table of one family into buffer; the system's error code.
    unsigned long ReadFamily(unsigned long family, std::vector<std::uint8_t>& buffer);
    void Tell(CloseAbility ability, std::string text);

    TcpEntryWriter& entries_;
    bool closeNothing_ = false;
    std::vector<std::uint8_t> ipv4_, ipv6_;          // the latest read as the system gave it
    std::vector<std::uint8_t> readIPv4_, readIPv6_;  // storage of the read under way
    const std::vector<TcpRow>* handedTo_ = nullptr;  // the rows the latest read filled
    std::deque<SourceNotice> notices_;
    bool deniedTold_ = false;
    std::set<unsigned long> refusalsTold_;  // the other errors of closes, each told once
    std::vector<TcpRow> ipv6Told_;          // blocked IPv6 connections told, while they are listed
    std::vector<std::uint32_t> pids_;       // storage for the owners of a read
    mutable ProcessNames names_;
};

}  // namespace quarnel::platform
