#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/linux/namespaces/NamespaceNames.h"
#include "platform/linux/namespaces/OtherNamespaces.h"
#include "platform/linux/netns/NamespaceOpener.h"

namespace quarnel::platform {

// The other network namespaces as quarnel-netns lists them, each read through a LinuxTcpTable
// over two sock_diag sockets it opens inside (one for the dumps, one for the closes).
class NetnsNamespaces final : public OtherNamespaces {
public:
    // What one open table holds.
    static constexpr std::size_t kDescriptorsPerTable = 2;

    explicit NetnsNamespaces(std::unique_ptr<NamespaceOpener> opener,
                             std::string namedFolder = kNamedNamespaces)
        : opener_(std::move(opener)), namedFolder_(std::move(namedFolder)) {}

    [[nodiscard]] bool List(std::vector<ListedNamespace>& namespaces,
                            std::string& problem) override;
    [[nodiscard]] std::unique_ptr<TcpTableSource> Open(std::uint32_t inode,
                                                       std::string& problem) override;

private:
    std::unique_ptr<NamespaceOpener> opener_;
    std::string namedFolder_;
    std::vector<NetworkNamespace> listed_;
    std::map<std::uint32_t, NetworkNamespace> byInode_;  // of the latest listing
    std::map<std::uint32_t, ListedNamespace> names_;     // of the latest listing
};

}  // namespace quarnel::platform
