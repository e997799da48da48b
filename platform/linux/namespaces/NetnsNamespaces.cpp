#include "platform/linux/namespaces/NetnsNamespaces.h"

#include <cstring>

#include "platform/linux/namespaces/NamespaceNames.h"
#include "platform/linux/sockdiag/LinuxTcpTable.h"
#include "platform/linux/sockdiag/SockDiagSocket.h"

namespace quarnel::platform {

bool NetnsNamespaces::List(std::vector<ListedNamespace>& namespaces, std::string& problem) {
    if (!opener_->ListNamespaces(listed_, problem)) {
        return false;
    }
    namespaces.clear();
    byInode_.clear();
    std::map<std::uint32_t, ListedNamespace> names;
    for (const NetworkNamespace& space : listed_) {
        if (space.Own) {
            continue;
        }
        // A namespace's inode is a /proc inode number, which the kernel keeps to 32 bits.
        const auto inode = static_cast<std::uint32_t>(space.Inode);
        byInode_.emplace(inode, space);
        // Named once, when it is first listed: a listing of very many must stay quick.
        const auto named = names_.find(inode);
        ListedNamespace listing =
            named != names_.end()
                ? std::move(named->second)
                : ListedNamespace{
                      inode, NamespaceName(space.Inode, space.Device, space.Cgroup, namedFolder_),
                      ContainerOf(space.Cgroup)};
        namespaces.push_back(listing);
        names.emplace(inode, std::move(listing));
    }
    names_ = std::move(names);
    return true;
}

std::unique_ptr<TcpTableSource> NetnsNamespaces::Open(std::uint32_t inode, std::string& problem) {
    const auto space = byInode_.find(inode);
    if (space == byInode_.end()) {
        problem = "it is not listed";
        return nullptr;
    }
    std::unique_ptr<NetlinkChannel> channels[2];
    for (std::unique_ptr<NetlinkChannel>& channel : channels) {
        UniqueFd fd = opener_->OpenSockDiag(space->second.Pid, space->second.Inode, problem);
        if (!fd) {
            return nullptr;
        }
        int error = 0;
        channel = SockDiagSocket::Adopt(std::move(fd), &error);
        if (!channel) {
            problem = std::string("cannot bind its sock_diag socket: ") + std::strerror(error);
            return nullptr;
        }
    }
    return std::make_unique<LinuxTcpTable>(std::move(channels[0]), std::move(channels[1]));
}

}  // namespace quarnel::platform
