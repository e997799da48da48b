#pragma once

#include <memory>
#include <utility>

#include "platform/linux/LinuxTableSource.h"

namespace quarnel::platform {

// Reads through another table and closes nothing: what the program works with when nothing
// here may close connections. The permission question answers why, without asking again.
class ReadOnlyTcpTable final : public ForwardingTcpTable {
public:
    ReadOnlyTcpTable(std::unique_ptr<LinuxTableSource> reader, CloseAbility why)
        : ForwardingTcpTable(std::move(reader)), why_(why) {}

    [[nodiscard]] bool CloseConnection(const TcpRow&) override { return false; }
    CloseAbility CanCloseConnections() override { return why_; }

private:
    CloseAbility why_;
};

}  // namespace quarnel::platform
