#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "platform/linux/LinuxTableSource.h"
#include "platform/linux/UniqueFd.h"
#include "platform/linux/events/ChangedRows.h"
#include "platform/linux/events/CookieIndex.h"
#include "platform/linux/netfilter/PacketLog.h"
#include "platform/linux/sockdiag/SocketLookup.h"

namespace quarnel::platform {

// The TCP table where the kernel's reports of state changes cannot be had but the packet filter's
// table holds back blocked payload: the table tells of every blocked connection it sees through
// its log (see LogRule), and this looks up that one connection, so that the guard wakes only for
// what it may close instead of reading the whole table every millisecond.
//
// Rows start from a whole read and keep its order; a connection the log tells of is added (or
// changed in place), and one closed through here goes (the last row takes its place), so that a
// caller that keeps its rows is handed only those; the later whole reads are applied alike, row
// by row, so that only what changed goes out. Everything else (connections that are not
// blocked, or that end on their own) shows at the next whole read, which comes every
// Pace::WholeRead, or 199 times as long as the last took where that is longer (20 s or so beside
// 20,000 connections); when the log lost segments (its limit held some back, its socket
// overflowed), at once and once more a second later, since the table tells of a loss at most twice
// a second. The handshake's last ACK is told as it arrives, before the connection is established:
// the look-up is tried again after Pace::Retry, then twice as long each time, up to Pace::Tries
// times (some 63 ms in all).
class LoggedTcpTable final : public ForwardingTcpTable {
public:
    using Clock = std::chrono::steady_clock;
    struct Pace {
        Clock::duration WholeRead = std::chrono::seconds(5);
        Clock::duration Retry = std::chrono::milliseconds(1);
        int Tries = 6;
    };

    // table reads whole and closes; sockets looks up one connection (of table's namespace).
    LoggedTcpTable(std::unique_ptr<LinuxTableSource> table, SocketLookup& sockets,
                   std::unique_ptr<PacketLog> log, Pace pace);
    LoggedTcpTable(const LoggedTcpTable&) = delete;
    LoggedTcpTable& operator=(const LoggedTcpTable&) = delete;

    [[nodiscard]] ReadResult Read(std::vector<TcpRow>& rows, TableChanges* changes) override;
    // A connection closed here (or found gone) leaves the rows at once.
    [[nodiscard]] bool CloseConnection(const TcpRow& row) override;
    // An edit may block connections the rows do not hold yet (they were let through, and tell
    // nothing): the next read is a whole one.
    void SetRules(const BlockingRules& rules) override;
    // Readable when the log told of a segment, a look-up is due again or a whole read is due;
    // -1 while the packet filter's table does not tell (every read is then a whole one).
    int WaitDescriptor() const override { return telling_ && wait_ ? wait_.Get() : -1; }
    // Whether the packet filter's table holds the rules, and so tells of what they block: a
    // table that could not take an edit holds nothing and tells nothing, and until one it takes,
    // the table is read whole on every read, as without the log.
    void SetTelling(bool telling) { telling_ = telling; }

    // How many whole reads of the table it has taken so far.
    std::uint64_t WholeReads() const { return wholeReads_; }

private:
    struct Retry {
        TcpRow Row;
        Clock::time_point Due;
        int Left;
    };

    [[nodiscard]] bool ReadWholeTable();
    void Told(const LoggedSegment& segment);
    // Looks the connection of row's addresses up; true when it was found and is past its
    // handshake (then it is among the rows).
    bool LookUp(TcpRow row);
    void RetryDue(Clock::time_point now);
    void Put(const TcpRow& row);
    void Remove(std::uint64_t cookie);
    void SetAlarm();

    std::unique_ptr<PacketLog> log_;
    SocketLookup& sockets_;
    Pace pace_;
    std::function<void(const LoggedSegment&)> told_;
    std::vector<TcpRow> rows_;
    std::vector<TcpRow> wholeRead_;     // storage for the whole reads
    std::vector<std::uint64_t> found_;  // the cookies a whole read found, sorted
    CookieIndex at_;
    ChangedRows changed_;
    std::vector<Retry> retries_;
    bool lost_ = false;     // a look-up failed: only a whole read tells
    bool current_ = false;  // rows_ hold a whole read
    bool telling_ = true;   // the packet filter's table tells of blocked connections
    Clock::time_point nextWholeRead_{};
    std::uint64_t wholeReads_ = 0;
    UniqueFd alarm_;
    UniqueFd wait_;  // readable when the log's descriptor or the alarm is
};

}  // namespace quarnel::platform
