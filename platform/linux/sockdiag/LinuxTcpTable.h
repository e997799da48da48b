#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/TcpTableSource.h"
#include "platform/linux/LinuxTableSource.h"
#include "platform/linux/sockdiag/NetlinkChannel.h"
#include "platform/linux/sockdiag/SocketInodeReader.h"
#include "platform/linux/sockdiag/SocketLookup.h"
#include "platform/linux/sockdiag/StateTableReader.h"

namespace quarnel::platform {

// The Linux TCP table, read and closed through netlink sock_diag.
//
// Rows are the IPv4 and IPv6 TCP sockets alike. Rows keep the order of the kernel's one walk of
// its socket tables, both families mixed; on a kernel that can only walk them family by family,
// the IPv4 sockets come first.
class LinuxTcpTable final : public SourceDefaults<LinuxTableSource>,
                            public SocketLookup,
                            public StateTableReader,
                            public SocketInodeReader {
public:
    // Opens the two netlink sockets the table needs. nullptr when the system denies them, with
    // *errorNumber (when given) set to the reason.
    [[nodiscard]] static std::unique_ptr<LinuxTcpTable> Open(int* errorNumber = nullptr);

    // Reads through dumpChannel and closes through closeChannel, which must be different
    // conversations so that a close never lands in the middle of a dump.
    LinuxTcpTable(std::unique_ptr<NetlinkChannel> dumpChannel,
                  std::unique_ptr<NetlinkChannel> closeChannel);

    // Always the whole table: the kernel tells nothing of what changed.
    [[nodiscard]] ReadResult Read(std::vector<TcpRow>& rows, TableChanges* changes) override;
    // The kernel still walks all its sockets, but describes only those in the states asked.
    [[nodiscard]] bool ReadTableInStates(std::vector<TcpRow>& rows,
                                         std::uint32_t linuxStates) override;
    [[nodiscard]] bool CloseConnection(const TcpRow& row) override;
    // Asks the kernel to close a listener of this table's own on 127.0.0.1: the kernel finds
    // the socket before it checks the right to close it, so only an existing socket tells.
    // Where no listener may be opened (a sandbox that denies IP sockets), the kernel's answer
    // for a socket that is not there tells whether it can close at all, and the process's
    // effective capabilities whether it may.
    CloseAbility CanCloseConnections() override;
    // A read learns nothing of who made a connection, nor of other namespaces.
    void TakeOwners(std::vector<SocketOwner>& owners) override { owners.clear(); }
    [[nodiscard]] bool TakeOtherNamespaces(std::vector<TcpRow>& rows) override {
        rows.clear();
        return true;
    }
    void LookForHolders(const std::vector<SocketOwner>& /*sockets*/) override {}
    // Asks the kernel through the closing conversation, so that lookups and closes take turns.
    Found LookUp(const TcpRow& row, TcpState& state) override;
    Found Find(TcpRow& row) override;
    // One more walk of the table, through the reading conversation.
    [[nodiscard]] bool ReadSocketInodes(const EachSocket& each) override;

private:
    static constexpr int kNoAnswer = -1;

    enum class DumpResult {
        Whole,
        Failed,
        Unsupported,  // the kernel does not know the request
    };

    // Collects into scratch_ the rows of one dump of the sockets in linuxStates.
    [[nodiscard]] bool DumpTable(std::uint32_t linuxStates);
    DumpResult Dump(const nlmsghdr& request);
    // The kernel's answer to a request to destroy the socket row names: 0 when it closed it,
    // else its errno; kNoAnswer when no answer came.
    int Destroy(const TcpRow& row);
    // Sends request through the closing conversation and waits for the kernel's answer to it: 0
    // when it acknowledged it, or answered with a socket (whose Linux state goes to *state, and
    // whose row to *row), else its errno; kNoAnswer when no answer came.
    int Ask(const nlmsghdr& request, std::uint8_t* state = nullptr, TcpRow* row = nullptr);
    static int CollectRow(const nlmsghdr* message, void* table);
    CloseAbility CanCloseWithoutProbe();

    std::unique_ptr<NetlinkChannel> dump_;
    std::unique_ptr<NetlinkChannel> close_;
    std::unique_ptr<char[]> buffer_;      // one kernel datagram of a dump
    std::vector<TcpRow> scratch_;         // the read in progress; swapped with the caller's rows
    const EachSocket* inodes_ = nullptr;  // who a walk for inodes hands them to instead
    std::uint32_t dumpSequence_ = 0;
    std::uint32_t closeSequence_ = 0;
    bool oneWalk_ = true;  // false once the kernel did not know a dump of both families
};

}  // namespace quarnel::platform
