#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "platform/linux/LinuxTableSource.h"
#include "platform/linux/conntrack/TranslatedDestinations.h"

namespace quarnel::platform {

// The table over another that tells, on each connection this machine translated to a socket of
// any namespace it guards (a published port), the port the client addressed (OriginalPort), so
// that the rules judge that port too. It asks connection tracking only while a local port is
// blocked and a read brought connections it has not looked at; elsewhere it passes all on.
class TranslatedTcpTable : public ForwardingTcpTable {
public:
    using ForwardingTcpTable::ForwardingTcpTable;

    [[nodiscard]] ReadResult Read(std::vector<TcpRow>& rows, TableChanges* changes) override;
    void SetRules(const BlockingRules& rules) override;
    std::optional<SourceNotice> TakeNotice() override;

    // New connections up to this many are asked for one by one; more take a dump.
    static constexpr std::size_t kAskedOneByOne = 16;

private:
    // Sets OriginalPort on the row from the translations last read.
    void Mark(TcpRow& row) const;

    TranslatedDestinations destinations_;
    std::vector<TranslatedConnection> translated_;
    bool wanted_ = false;   // a local port is blocked
    bool failing_ = false;  // the last read of the translations failed, and was told
    std::optional<SourceNotice> notice_;
    bool markAll_ = false;  // the next read looks at every row, not only the changed ones
};

}  // namespace quarnel::platform
