#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/CloseReport.h"

namespace quarnel {

// The log of what the guard does, one line each, to a descriptor (the service's stdout, which
// the journal keeps; the window program's stderr). It never makes the pass wait: a line the
// descriptor cannot take at once is dropped and counted, and past closeLinesPerSecond close
// lines in one second the rest are only counted, then summarised in one line ("and 1,734 more
// closed in the last second").
class ActionLog {
public:
    using Clock = std::chrono::steady_clock;

    explicit ActionLog(int fd, std::size_t closeLinesPerSecond = 20)
        : Fd(fd), Limit(closeLinesPerSecond) {}

    // A connection the pass closed, and the rule that closed it.
    void Closed(const platform::TcpRow& row, Verdict verdict, Clock::time_point now = Clock::now());
    // A blocked connection that ended before it could be closed; in the same limit as closes.
    void Missed(const platform::TcpRow& row, Verdict verdict, Clock::time_point now = Clock::now());
    // A line of its own: start, reload, a failure. Not limited; dropped only when the descriptor
    // is full.
    void Say(std::string_view line);
    // Writes the summary of the closes left untold once their second is over; call it after
    // every pass.
    void Flush(Clock::time_point now = Clock::now());

    // Connections closed since the log began.
    std::uint64_t ClosedCount() const { return TotalClosed; }
    // Blocked connections that ended before they could be closed, since the log began.
    std::uint64_t MissedCount() const { return TotalMissed; }

private:
    // Writes line as below while this second's lines are within the limit; false when not.
    bool WriteLimited(std::string line, Clock::time_point now);
    // Writes line and a newline in one write when the descriptor takes it without waiting.
    bool Write(std::string line);

    int Fd;
    std::size_t Limit;
    Clock::time_point WindowStart{};  // when the second of the lines counted below began
    std::size_t WrittenInWindow = 0;
    std::uint64_t Untold = 0;  // closes of this second not written
    std::uint64_t TotalClosed = 0;
    std::uint64_t TotalMissed = 0;
};

// A count with a comma between groups of three digits: 1,734.
std::string GroupedNumber(std::uint64_t number);

}  // namespace quarnel
