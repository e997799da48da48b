#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

#include "platform/TcpTableSource.h"
#include "platform/linux/TcpEventStream.h"
#include "platform/linux/UniqueFd.h"

namespace quarnel::platform {

// The TCP table kept in step with the kernel's reports of state changes, so that a read costs
// next to nothing while nothing changes.
//
// It starts from one whole read of the table (taken after the reports began, then the reports
// that came meanwhile are applied) and reads the whole table again before handing out rows
// whenever reports were lost or could not be read. Rows keep the order of the latest whole
// read; a new connection is appended, a closed one removed. Some rows come and go without a
// report: time-wait and half-open connections, and the sockets of a listener that closes. Those
// are caught by a whole read at most every 250 ms after a report hints at them, and at most
// every second while such rows are listed. Closing goes through the whole table's source.
class EventTcpTable final : public TcpTableSource {
public:
    EventTcpTable(std::unique_ptr<TcpEventStream> events, std::unique_ptr<TcpTableSource> table);
    // The callback that applies reports holds this object's address: it stays where it was made.
    EventTcpTable(const EventTcpTable&) = delete;
    EventTcpTable& operator=(const EventTcpTable&) = delete;

    // Over the system's table, when it lets this process load the kernel program; else nullptr
    // with why set.
    [[nodiscard]] static std::unique_ptr<EventTcpTable> Open(PollingCause& why);

    [[nodiscard]] bool ReadTable(std::vector<TcpRow>& rows) override;
    ReadResult ReadTableIfChanged(std::vector<TcpRow>& rows) override;
    [[nodiscard]] bool CloseConnection(const TcpRow& row) override;
    CloseAbility CanCloseConnections() override;
    // Readable when reports wait or a whole read is due; -1 while reports cannot be read,
    // when every read is a whole read.
    int WaitDescriptor() const override;

    // How many whole reads of the table it has taken so far.
    std::uint64_t WholeReads() const { return wholeReads_; }

private:
    using Clock = std::chrono::steady_clock;

    [[nodiscard]] bool ReadWholeTable();
    void Apply(const TcpStateEvent& event);
    void Remove(std::uint64_t cookie);
    void ReadWholeTableWithin(Clock::duration delay);
    void SetAlarm(std::optional<Clock::time_point> at);

    std::unique_ptr<TcpEventStream> events_;
    std::unique_ptr<TcpTableSource> table_;
    std::function<void(const TcpStateEvent&)> apply_;
    std::vector<TcpRow> rows_;
    std::vector<TcpRow> wholeRead_;                      // storage for the whole reads
    std::unordered_map<std::uint64_t, std::size_t> at_;  // a row's index by its socket cookie
    std::uint64_t lostSeen_ = 0;  // the kernel's lost-report count when the last whole read began
    std::uint64_t wholeReads_ = 0;
    bool current_ = false;  // rows_ hold a whole read and every report since
    bool changed_ = true;   // rows_ differ from the rows the last read handed out
    Clock::time_point lastWholeRead_{};
    std::optional<Clock::time_point> nextWholeRead_;
    UniqueFd alarm_;  // a timer that turns readable when the next whole read is due
    UniqueFd wait_;   // readable when the reports' descriptor or the alarm is
};

// The table kept from the kernel's reports over table (which reads whole and closes) when the
// system lets this process load the kernel program; else table itself, read whole every time,
// with polling set to why.
std::unique_ptr<TcpTableSource> WithKernelEvents(std::unique_ptr<TcpTableSource> table,
                                                 PollingCause& polling);

}  // namespace quarnel::platform
