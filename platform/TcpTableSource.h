#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/BlockingRules.h"
#include "platform/ConnectionOwner.h"
#include "platform/IpAddress.h"

namespace quarnel::platform {

// The state of a row, in the table's numbers.
enum class TcpState : std::uint8_t {
    Unknown = 0,
    Closed = 1,
    Listening = 2,
    SynSent = 3,
    SynReceived = 4,
    Established = 5,
    FinWait1 = 6,
    FinWait2 = 7,
    CloseWait = 8,
    Closing = 9,
    LastAck = 10,
    TimeWait = 11,
    DeleteTcb = 12,
};

// The kind of socket behind a row. An IPv6 socket of a dual-stack program carries IPv4
// connections too, with IPv4-mapped addresses; those are IPv4 connections to the rules and to
// the user, and only the close names the socket as IPv6.
enum class SocketFamily : std::uint8_t {
    IPv4,  // an AF_INET socket
    IPv6,  // an AF_INET6 socket
};

// One row of the TCP connection table, with the raw identity that a close needs to name
// exactly this connection and no other.
// Ordered so that nothing pads it past 64 bytes: tables of 200,000 rows are held in several
// copies (the reader's, the pass's, the cache's keys).
struct TcpRow {
    TcpState State = TcpState::Unknown;
    SocketFamily Family = SocketFamily::IPv4;
    IpAddress LocalAddress{};  // an IPv4 socket's addresses are IPv4-mapped
    // The destination port the client asked for when this machine translated it (DNAT, a
    // published port) to the socket's; 0 when it reached the socket untranslated.
    std::uint16_t OriginalPort = 0;
    std::int32_t LocalPort = 0;   // 0..65535
    IpAddress RemoteAddress{};    // unspecified when there is no remote end
    std::int32_t RemotePort = 0;  // 0..65535
    std::uint32_t Interface = 0;  // the device the socket is bound to, 0 for none
    // The process it belongs to, 0 where not known; its program and user come from the
    // source (Owner), which keeps them once per process, not once per row.
    std::uint32_t OwnerPid = 0;
    // The network namespace's inode (as /proc/PID/ns/net shows it); 0 for the reader's own.
    std::uint32_t Namespace = 0;
    std::uint64_t Cookie = 0;  // the kernel's socket cookie

    bool operator==(const TcpRow&) const = default;
};
static_assert(sizeof(TcpRow) == 64, "a row stays one cache line");

// Whether this process can close connections, and if not, why.
enum class CloseAbility {
    Allowed,
    NoPermission,  // the right to close other programs' connections is missing
    NotSupported,  // the kernel cannot close sockets on request
    Unknown,       // the question itself failed
};

// What a read of the table found.
enum class ReadResult {
    Changed,    // rows now hold the whole table
    Unchanged,  // the table is as the previous read handed it to the same rows; rows untouched
    Failed,     // nothing could be read; rows untouched
};

// Which rows a read changed, for a caller that looks again only at those. After a read that
// is not Whole, rows at the listed indices appeared or changed (a row moved to another index
// counts as changed there), rows past the new row count vanished, and every other row is the one
// the caller held before at the same index.
struct TableChanges {
    bool Whole = true;              // any row may have changed: the caller looks at them all
    std::vector<std::size_t> Rows;  // ascending and distinct, each below the row count
};

// A change in whether closing works that happened on its own, between the program's questions
// (the part of the system that closes connections stopped, or came back). The user is told
// each one once.
struct SourceNotice {
    CloseAbility Ability = CloseAbility::Unknown;  // whether closing works from now on
    std::string Text;                              // what happened, as one message for the user
};

// The operating system's TCP table as the engine uses it.
//
// Every operation is pure, so that one added later fails to compile until each source answers
// it: a source that knows only its rows takes the plain answers from SourceDefaults, and one that
// wraps another source derives from Forwarding, which passes every operation on, and overrides
// only what it changes.
class TcpTableSource {
public:
    virtual ~TcpTableSource() = default;

    // The one read of the table, in the order the system reports it; rows' storage is reused
    // from read to read. Without changes, rows receive the whole table (Changed) or, on failure,
    // stay as they were (Failed). With changes, a source that knows the table has not changed
    // since its previous read into the same rows answers Unchanged and leaves them alone, and a
    // source that keeps the table from the system's reports changes only the rows it lists in
    // changes (of the rows it handed out last); a source that can tell neither reads the whole
    // table and reports it Whole.
    [[nodiscard]] virtual ReadResult Read(std::vector<TcpRow>& rows, TableChanges* changes) = 0;
    // The whole table: true when rows now hold it.
    [[nodiscard]] bool ReadTable(std::vector<TcpRow>& rows) {
        return Read(rows, nullptr) == ReadResult::Changed;
    }
    // What a source that reads only whole tables answers after a read that succeeded or not.
    static ReadResult Whole(bool read, TableChanges* changes) {
        if (read && changes != nullptr) {
            changes->Whole = true;
            changes->Rows.clear();
        }
        return read ? ReadResult::Changed : ReadResult::Failed;
    }
    // A descriptor that turns readable when the table may have changed, for a caller that
    // waits between reads; -1 when the source cannot tell (then only time tells).
    virtual int WaitDescriptor() const = 0;
    // Closes exactly the connection the row names. False when it could not be closed (already
    // gone, denied); nothing else is ever closed.
    [[nodiscard]] virtual bool CloseConnection(const TcpRow& row) = 0;
    // Asks the system whether closing would work here.
    virtual CloseAbility CanCloseConnections() = 0;
    // The rules the engine judges by, at start and after every edit: a source that can hold back
    // the data of blocked connections in the system (so that none crosses before the pass
    // closes them) does so from now on, and a source that wakes its caller for new connections
    // may wake it only for those the rules may block (the others show by the caller's timer).
    // What goes wrong is told through TakeNotice, once.
    virtual void SetRules(const BlockingRules& rules) = 0;
    // The oldest notice not yet taken, none when nothing happened. The program takes them after
    // every pass, so each is shown once, in the order they happened.
    virtual std::optional<SourceNotice> TakeNotice() = 0;
    // The connections that were established and gone again before any read handed them out,
    // since the last call, so that a blocked one is told as missed rather than never seen.
    // Only a source that learns of every change knows them; the others give none.
    virtual void TakeMissed(std::vector<TcpRow>& rows) = 0;
    // The owner the row's OwnerPid names, as this source knows it; none where it does not.
    virtual ConnectionOwner Owner(const TcpRow& row) const = 0;
};

// What a source that knows only its rows answers to the rest: nothing to wait on, rules that
// change nothing in the system, no notice, nothing missed, no owner. Interface is TcpTableSource
// or a system's own interface built on it; a source overrides what it knows more of.
template <typename Interface = TcpTableSource>
class SourceDefaults : public Interface {
public:
    int WaitDescriptor() const override { return -1; }
    void SetRules(const BlockingRules& /*rules*/) override {}
    std::optional<SourceNotice> TakeNotice() override { return std::nullopt; }
    void TakeMissed(std::vector<TcpRow>& rows) override { rows.clear(); }
    ConnectionOwner Owner(const TcpRow& /*row*/) const override { return {}; }
};

// A source over another (Interface: TcpTableSource, or a system's own interface built on it)
// that passes every operation on to it; a wrapper overrides only what it changes.
template <typename Interface = TcpTableSource>
class Forwarding : public Interface {
public:
    explicit Forwarding(std::unique_ptr<Interface> table) : table_(std::move(table)) {}

    [[nodiscard]] ReadResult Read(std::vector<TcpRow>& rows, TableChanges* changes) override {
        return table_->Read(rows, changes);
    }
    int WaitDescriptor() const override { return table_->WaitDescriptor(); }
    [[nodiscard]] bool CloseConnection(const TcpRow& row) override {
        return table_->CloseConnection(row);
    }
    CloseAbility CanCloseConnections() override { return table_->CanCloseConnections(); }
    void SetRules(const BlockingRules& rules) override { table_->SetRules(rules); }
    std::optional<SourceNotice> TakeNotice() override { return table_->TakeNotice(); }
    void TakeMissed(std::vector<TcpRow>& rows) override { table_->TakeMissed(rows); }
    ConnectionOwner Owner(const TcpRow& row) const override { return table_->Owner(row); }

protected:
    // The source it wraps.
    Interface& Inner() const { return *table_; }

private:
    std::unique_ptr<Interface> table_;
};

}  // namespace quarnel::platform
