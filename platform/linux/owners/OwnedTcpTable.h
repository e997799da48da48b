#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/linux/LinuxTableSource.h"
#include "platform/linux/events/CookieIndex.h"
#include "platform/linux/owners/SocketHolders.h"
#include "platform/linux/sockdiag/SocketInodeReader.h"

namespace quarnel::platform {

// The table with each row's owner: the process that connected or listened as the kernel
// reported it (recorded when the connection was made, so closing never waits for it), the
// listener's for a connection to it that nobody accepted yet, and for a connection older than
// the reports a look for the process that holds its socket (holders). That look
// comes only while rows lack an owner it has not looked for, or connections named by their
// listener's process at the accept have not been seen held by it twice, at most once a second,
// and its findings are kept: a server that hands accepted connections to a child (sshd) has
// them named by the child. Once a second the owners are checked: one whose process ended (a
// socket handed on at fork, say) is looked up again, never named on, nor one whose pid another
// process took (told by the process's start time, recorded when the owner was learnt). A row of
// another network namespace (where the kernel reports them all) is named by the process that
// connected or listened there, as the kernel reported it, with its pid as this process sees it;
// one older than the reports by the process that holds it, when the caller asks (LookForHolders).
class OwnedTcpTable final : public ForwardingTcpTable {
public:
    using Clock = std::chrono::steady_clock;
    using Now = std::function<Clock::time_point()>;
    struct Options {
        // Only owners whose /proc entries this process may read: a helper serving a user tells
        // nothing of processes that user could not see.
        bool OnlyVisible = false;
        std::string Proc = "/proc";  // where it sees processes
        Now Time = Clock::now;
    };

    // inodes (may be null: then holders are never asked) must outlive this table.
    OwnedTcpTable(std::unique_ptr<LinuxTableSource> table, SocketInodeReader* inodes,
                  std::unique_ptr<SocketHolders> holders, Options options);

    [[nodiscard]] ReadResult Read(std::vector<TcpRow>& rows, TableChanges* changes) override;
    void TakeMissed(std::vector<TcpRow>& rows) override;
    ConnectionOwner Owner(const TcpRow& row) const override;
    // The owners the table reported name its rows here: none go on.
    void TakeOwners(std::vector<SocketOwner>& owners) override { owners.clear(); }
    // Another namespace's connections older than the reports: one look finds them all.
    void LookForHolders(const std::vector<SocketOwner>& sockets) override;

private:
    // Takes the owners the table reported.
    void Learn();
    // The pid of row's owner as far as it is known (0: not); notes a row worth a look for its
    // socket's holder.
    std::uint32_t OwnerOf(const TcpRow& row);
    // An owner as learnt: the process, once its pid is reused, is another one.
    struct Known {
        ConnectionOwner Owner;
        std::uint64_t Started = 0;    // when the process started (0: not known)
        std::optional<bool> Visible;  // whether this process may see it, once asked
    };

    bool Shown(Known& known);
    // Whether pid is the process of the listener on row's local port (it was named when the
    // kernel reported the accept).
    bool AcceptedBy(const TcpRow& row, std::uint32_t pid) const;
    // A look found holder (none: nobody) for socket, known by cookie as entry: a connection
    // named by its listener's process when accepted takes the process that holds it now where
    // that differs. Whether its owner changed.
    bool Confirm(const TcpRow& socket, std::size_t entry, const ConnectionOwner* holder);
    // Sets every row's owner anew; the indices of those that changed go to changed.
    void Refill(std::vector<TcpRow>& rows, std::vector<std::size_t>& changed);
    // elsewhere: the socket is another network namespace's.
    void Remember(std::uint64_t cookie, const ConnectionOwner& owner, bool elsewhere = false);
    // Forgets owners whose process ended; whether any went.
    bool ForgetEnded();
    // Asks who holds the sockets of the rows that lack an owner, count rows of them at most;
    // whether it found any.
    bool LookUp(std::size_t count);
    // Drops what no row of rows needs any more, when it has grown well past them.
    void Prune(const std::vector<TcpRow>& rows);

    SocketInodeReader* inodes_;
    std::unique_ptr<SocketHolders> holders_;
    Options options_;
    // Owners by pid, and the pid of each socket's owner: a process's sockets share one entry,
    // and a socket costs some 15 bytes.
    std::unordered_map<std::uint32_t, Known> pids_;
    CookieIndex byCookie_;
    // The same for other network namespaces' sockets, as the kernel reported who made them; kept
    // to kMostElsewhere (some 15 MB), the oldest going first.
    static constexpr std::size_t kMostElsewhere = std::size_t{1} << 20;
    CookieIndex elsewhere_;
    std::unordered_map<std::int32_t, std::uint32_t> listeners_;  // the listener's pid by port
    std::unordered_set<std::uint64_t> notFound_;                 // cookies /proc had no process for
    std::vector<SocketOwner> reported_;
    bool wanted_ = false;  // a row lacks an owner that /proc was not asked for
    Clock::time_point lastCheck_{};
    Clock::time_point lastLookUp_{};
    Clock::time_point lastChange_{};  // the last read that brought changes
    bool lookedUp_ = false;
    // The holders as the last look for other namespaces' sockets found them, kept a second:
    // the namespaces read one after the other (a hundred at the start) share it.
    std::optional<SocketHolding> elsewhereHeld_;
    Clock::time_point elsewhereHeldAt_{};
};

// table with its rows' owners (see OwnedTcpTable); inodes is the table's own reader beneath it.
// Where this process may load kernel programs (call it while it may), the kernel lists who
// holds which socket; else /proc shows what this process may see there.
std::unique_ptr<LinuxTableSource> WithOwners(std::unique_ptr<LinuxTableSource> table,
                                             SocketInodeReader* inodes,
                                             OwnedTcpTable::Options options = {});

}  // namespace quarnel::platform
