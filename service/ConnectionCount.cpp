#include "service/ConnectionCount.h"

#include <set>
#include <tuple>
#include <utility>

namespace quarnel {

std::size_t CountConnections(const std::vector<platform::TcpRow>& rows) {
    // Both ends of a connection, the lesser first, so that its two sockets give one key. The
    // addresses of IPv4 sockets are held IPv4-mapped, as a dual-stack socket holds them. Sockets
    // of different namespaces are kept apart: the same addresses there are other connections.
    using End = std::pair<platform::IpAddress, std::int32_t>;
    std::set<std::tuple<std::uint32_t, End, End>> connections;
    for (const platform::TcpRow& row : rows) {
        if (row.State != platform::TcpState::Established) {
            continue;
        }
        End local{row.LocalAddress, row.LocalPort};
        End remote{row.RemoteAddress, row.RemotePort};
        if (remote < local) {
            std::swap(local, remote);
        }
        connections.emplace(row.Namespace, local, remote);
    }
    return connections.size();
}

}  // namespace quarnel
