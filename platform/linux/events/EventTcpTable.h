#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <unordered_set>
#include <vector>

#include "platform/TcpTableSource.h"
#include "platform/linux/LinuxTableSource.h"
#include "platform/linux/UniqueFd.h"
#include "platform/linux/bpf/NamespaceScope.h"
#include "platform/linux/events/ChangedRows.h"
#include "platform/linux/events/CookieIndex.h"
#include "platform/linux/events/TcpEventStream.h"
#include "platform/linux/sockdiag/StateTableReader.h"

namespace quarnel::platform {

// The TCP table kept in step with the kernel's reports of state changes, so that a read costs
// next to nothing while nothing changes.
//
// It starts from one whole read of the table (taken after the reports began, then the reports
// that came meanwhile are applied) and reads the whole table again before handing out rows
// whenever reports were lost or could not be read. Rows start in the order of the latest whole
// read; a new connection is appended, and a closed one's place is taken by the last row, so that
// a change costs the same whatever the table's size and a reader that keeps its rows from read
// to read gets only the rows that changed. Some rows come and go without a report: time-wait and
// half-open connections, and the sockets of a listener that closes. Those are caught by a read of
// the rows in those states alone (a whole read where the table cannot read by state) at most a
// second after a report hints at them, and every second while such rows are listed; where that
// read takes long (it walks every socket of the machine), the next waits 99 times its length,
// and waits while connections keep being established (at most 10 s more).
// Closing goes through the whole table's source. Reports of other network namespaces (from a
// stream of every namespace's) change nothing here: they are handed on as they come.
class EventTcpTable final : public SourceDefaults<LinuxTableSource> {
public:
    using Clock = std::chrono::steady_clock;
    // Where the table's pace reads the time: the steady clock, or one a test moves on.
    using Now = std::function<Clock::time_point()>;

    EventTcpTable(std::unique_ptr<TcpEventStream> events, std::unique_ptr<TcpTableSource> table,
                  Now now = Clock::now);
    // The callback that applies reports holds this object's address: it stays where it was made.
    EventTcpTable(const EventTcpTable&) = delete;
    EventTcpTable& operator=(const EventTcpTable&) = delete;

    // Over the system's table, when it lets this process load the kernel program; else nullptr
    // with why set.
    [[nodiscard]] static std::unique_ptr<EventTcpTable> Open(PollingCause& why);

    [[nodiscard]] ReadResult Read(std::vector<TcpRow>& rows, TableChanges* changes) override;
    [[nodiscard]] bool CloseConnection(const TcpRow& row) override;
    CloseAbility CanCloseConnections() override;
    // Readable when a connection became established (on a blocked port, once rules are set),
    // many reports wait or a whole read is due; -1 while reports cannot be read, when every read is
    // a whole read. Other changes are seen by the next read: a caller that shows rows reads on a
    // timer too.
    int WaitDescriptor() const override;
    // Only a connection established on a port the rules block wakes the reader from now on:
    // the others can wait for its timer.
    void SetRules(const BlockingRules& rules) override;

    void TakeMissed(std::vector<TcpRow>& rows) override;
    [[nodiscard]] bool TakeOtherNamespaces(std::vector<TcpRow>& rows) override;
    // Who connected or listened, as the reports told since the last call.
    void TakeOwners(std::vector<SocketOwner>& owners) override;
    // Who holds a socket is the owners' layer's to look for.
    void LookForHolders(const std::vector<SocketOwner>& /*sockets*/) override {}

    // How many whole reads of the table it has taken so far.
    std::uint64_t WholeReads() const { return wholeReads_; }

private:
    // Brings rows_ up to date: the waiting reports, and a whole read when one is due.
    [[nodiscard]] bool Refresh();
    [[nodiscard]] bool ReadWholeTable();
    // Catches the rows that come and go without a report: reads the rows in their states and
    // brings rows_ in line with them.
    [[nodiscard]] bool ReadUnreportedRows();
    // Hands the waiting reports to Apply; false when they could not be read.
    [[nodiscard]] bool Drain();
    void Apply(const TcpStateEvent& event);
    // Keeps another namespace's report for TakeOtherNamespaces, to a bound.
    void HandOn(const TcpStateEvent& event);
    // A row as a report or a read shows it: added, or changed in place.
    void Put(const TcpRow& row);
    void Remove(std::uint64_t cookie);
    // Keeps the row of cookie, about to go, when it was established and never handed out.
    void NoteIfMissed(std::uint64_t cookie);
    void RemoveAt(std::size_t index);
    // The next look for unreported rows comes at most delay after the previous one.
    void ReadWholeTableWithin(Clock::duration delay);
    void SetAlarm(std::optional<Clock::time_point> at);

    std::unique_ptr<TcpEventStream> events_;
    std::unique_ptr<TcpTableSource> table_;
    Now now_;
    StateTableReader* byState_ = nullptr;  // table_ when it can read by state
    std::function<void(const TcpStateEvent&)> apply_;
    std::vector<TcpRow> rows_;
    std::vector<TcpRow> wholeRead_;     // storage for the whole reads
    std::vector<std::uint64_t> found_;  // the cookies a read by state found, sorted
    CookieIndex at_;                    // a row's index by its socket cookie
    ChangedRows changed_;               // of rows_ since they were last handed out
    // The cookies of the rows added since rows were last handed out, and the established ones
    // of them that went before they were; each kept to a bound while nobody reads.
    std::unordered_set<std::uint64_t> unseen_;
    std::vector<TcpRow> missed_;
    std::uint32_t ownNamespace_ = 0;  // the stream's own: the others' reports are handed on
    std::vector<TcpRow> others_;      // their reports not yet taken
    bool othersComplete_ = true;      // no report of theirs was lost since they were taken
    std::uint64_t lostSeen_ = 0;  // the kernel's lost-report count when the last whole read began
    std::uint64_t wholeReads_ = 0;
    bool current_ = false;  // rows_ hold a whole read and every report since
    // Where the pace of the reads counts from: the last whole read, or the last read of the
    // unreported rows moved later by its cost.
    Clock::time_point lastWholeRead_{};
    std::optional<Clock::time_point> nextWholeRead_;
    std::optional<Clock::time_point> lookDueSince_;  // a slow look waits since then
    Clock::duration lastLookCost_{};                 // how long the last look took
    Clock::time_point lastEstablished_{};            // the last report of an established one
    UniqueFd alarm_;  // a timer that turns readable when the next whole read is due
    UniqueFd wait_;   // readable when the reports' descriptor or the alarm is
};

// The table kept from the kernel's reports over table (which reads whole and closes) when the
// system lets this process load the kernel program; else table itself, read whole every time,
// with polling set to why. With scope Every it hands on the other namespaces' reports too.
std::unique_ptr<LinuxTableSource> WithKernelEvents(std::unique_ptr<LinuxTableSource> table,
                                                   PollingCause& polling,
                                                   NamespaceScope scope = NamespaceScope::Own);

}  // namespace quarnel::platform
