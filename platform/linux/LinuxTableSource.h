#pragma once

#include <vector>

#include "platform/ConnectionOwner.h"
#include "platform/TcpTableSource.h"

namespace quarnel::platform {

// The TCP table as Linux's side stacks it (the kernel's reports, owners, the payload filter,
// every network namespace): the engine's operations, and what the kernel's reports tell the
// layers above beyond the rows. Pure, as TcpTableSource is: a source that knows none of it says
// so itself.
class LinuxTableSource : public TcpTableSource {
public:
    // The owners the system reported since the last call, as sockets connected or listened.
    // Only a source that learns of every change knows them; the others give none.
    virtual void TakeOwners(std::vector<SocketOwner>& owners) = 0;
    // The rows of other network namespaces that the system reported changed since the last
    // call, oldest first, each with its Namespace set: a row in state Closed ended, any other is
    // the connection as it is now (one whose local port is 0 is not bound yet). False when some
    // reports were lost since the last call, so that only a whole read of those namespaces tells
    // what they hold. Only a source that follows every namespace's reports knows them; the
    // others give none (and true).
    [[nodiscard]] virtual bool TakeOtherNamespaces(std::vector<TcpRow>& rows) = 0;
    // Looks at once for the processes that hold these sockets of other network namespaces,
    // older than the reports (each given by its Cookie, Inode and Namespace): those found name
    // their rows (Owner) from then on. Only a source that looks for sockets' holders can; the
    // others ignore it.
    virtual void LookForHolders(const std::vector<SocketOwner>& sockets) = 0;
};

// A Linux table over another that passes every operation on to it; a wrapper derives from it
// and overrides only what it changes.
class ForwardingTcpTable : public Forwarding<LinuxTableSource> {
public:
    using Forwarding::Forwarding;

    void TakeOwners(std::vector<SocketOwner>& owners) override { Inner().TakeOwners(owners); }
    [[nodiscard]] bool TakeOtherNamespaces(std::vector<TcpRow>& rows) override {
        return Inner().TakeOtherNamespaces(rows);
    }
    void LookForHolders(const std::vector<SocketOwner>& sockets) override {
        Inner().LookForHolders(sockets);
    }
};

}  // namespace quarnel::platform
