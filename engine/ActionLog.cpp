#include "engine/ActionLog.h"

#include <poll.h>
#include <unistd.h>

#include <utility>

namespace quarnel {

namespace {
constexpr std::chrono::seconds kWindow{1};
}

std::string GroupedNumber(std::uint64_t number) {
    std::string digits = std::to_string(number);
    for (auto at = static_cast<std::ptrdiff_t>(digits.size()) - 3; at > 0; at -= 3) {
        digits.insert(static_cast<std::size_t>(at), 1, ',');
    }
    return digits;
}

void ActionLog::Closed(const platform::TcpRow& row, Verdict verdict, Clock::time_point now) {
    ++TotalClosed;
    if (!WriteLimited(CloseLine(row, verdict), now)) {
        ++Untold;
    }
}

void ActionLog::Missed(const platform::TcpRow& row, Verdict verdict, Clock::time_point now) {
    ++TotalMissed;
    // Past the limit it is only counted: the service's status tells the count.
    (void)WriteLimited(MissedLine(row, verdict), now);
}

bool ActionLog::WriteLimited(std::string line, Clock::time_point now) {
    if (now - WindowStart >= kWindow) {
        Flush(now);
        WindowStart = now;
        WrittenInWindow = 0;
    }
    if (WrittenInWindow < Limit && Write(std::move(line))) {
        ++WrittenInWindow;
        return true;
    }
    return false;
}

void ActionLog::Say(std::string_view line) {
    (void)Write(std::string(line));  // a full descriptor loses it rather than stall the pass
}

void ActionLog::Flush(Clock::time_point now) {
    if (Untold == 0 || now - WindowStart < kWindow) {
        return;
    }
    // Every close counted came within a second of WindowStart; a summary that waited for a long
    // pass says how long ago that began.
    const auto seconds = std::chrono::floor<std::chrono::seconds>(now - WindowStart).count();
    const std::string span =
        seconds <= 1 ? "the last second" : "the last " + std::to_string(seconds) + " seconds";
    if (Write("and " + GroupedNumber(Untold) + " more closed in " + span)) {
        Untold = 0;
    }
}

bool ActionLog::Write(std::string line) {
    line += '\n';
    // A pipe or socket that is full would block the write; poll asks without waiting. A line is
    // far below PIPE_BUF, so a descriptor that has room takes it whole.
    pollfd room{Fd, POLLOUT, 0};
    if (::poll(&room, 1, 0) != 1 || (room.revents & POLLOUT) == 0) {
        return false;
    }
    return ::write(Fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
}

}  // namespace quarnel
