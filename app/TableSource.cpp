#include "app/TableSource.h"

#include <cstring>
#include <vector>

#include "platform/linux/LinuxTcpTable.h"

namespace quarnel {

namespace {

// Stands in when the system refuses the table: every read fails, nothing is ever closed.
class UnavailableTable final : public platform::TcpTableSource {
public:
    bool ReadTable(std::vector<platform::TcpRow>& /*rows*/) override { return false; }
    bool CloseConnection(const platform::TcpRow& /*row*/) override { return false; }
    platform::CloseAbility CanCloseConnections() override {
        return platform::CloseAbility::Unknown;  // already told through Problem
    }
};

constexpr const char* ViewerOnly =
    " Quarnel shows the connections and keeps your lists, but it blocks nothing.";

}  // namespace

TableSourceChoice OpenTableSource() {
    int error = 0;
    if (auto table = platform::LinuxTcpTable::Open(&error)) {
        return {std::move(table), {}};
    }
    return {std::make_unique<UnavailableTable>(),
            std::string("Quarnel cannot read the connection table of this system (") +
                std::strerror(error) + "). It shows no connections and blocks nothing."};
}

std::string ViewerOnlyText(platform::CloseAbility ability) {
    switch (ability) {
        case platform::CloseAbility::NoPermission:
            return std::string(
                       "Quarnel may not close connections: it lacks the CAP_NET_ADMIN "
                       "capability.") +
                   ViewerOnly +
                   " To block connections, end Quarnel and start it as root (see the README).";
        case platform::CloseAbility::NotSupported:
            return std::string(
                       "Quarnel cannot close connections: this system's kernel cannot "
                       "close sockets on request (it needs CONFIG_INET_DIAG_DESTROY).") +
                   ViewerOnly + " To block connections, run a kernel built with that option.";
        case platform::CloseAbility::Allowed:
        case platform::CloseAbility::Unknown:
            break;
    }
    return {};
}

}  // namespace quarnel
