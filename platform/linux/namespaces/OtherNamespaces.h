#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/TcpTableSource.h"
#include "platform/linux/namespaces/NamespaceNames.h"

namespace quarnel::platform {

// A network namespace other than the reader's own, as a listing found it.
struct ListedNamespace {
    std::uint32_t Inode = 0;
    std::string Name;                      // what the log calls it (see NamespaceName)
    std::optional<Container> InContainer;  // the container it is, where its cgroup tells
};

// Where the other network namespaces come from: a listing, and a table read and closed inside
// one of them. Apart so that the table of all namespaces can be tested without entering any.
class OtherNamespaces {
public:
    virtual ~OtherNamespaces() = default;

    // The namespaces there are now, the reader's own left out; false, with problem, when none
    // could be listed.
    [[nodiscard]] virtual bool List(std::vector<ListedNamespace>& namespaces,
                                    std::string& problem) = 0;
    // A table of that namespace's sockets, read whole, that closes there; nullptr, with problem,
    // when it cannot be opened (the namespace went meanwhile, say).
    [[nodiscard]] virtual std::unique_ptr<TcpTableSource> Open(std::uint32_t inode,
                                                               std::string& problem) = 0;
};

}  // namespace quarnel::platform
