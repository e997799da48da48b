#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <tuple>

#include "engine/CloseReport.h"
#include "platform/LogOutput.h"

namespace quarnel {

// The log of what the guard does, one line each, to an output (the service's stdout, which the
// journal keeps; the window program's stderr). It never makes the pass wait: a line the output
// cannot take at once is dropped and counted, and past closeLinesPerSecond close
// lines in one second the rest are only counted, then summarised in one line ("and 1,734 more
// closed in the last second (1,700 by curl [812] user alice, 34 by others)"); other lines lost
// are counted and told too. Say may be called from
// any thread.
class ActionLog {
public:
    using Clock = std::chrono::steady_clock;
    // How much a line matters, as syslog numbers them: closes and what goes as it should are
    // Info, unusable rules and fallbacks Warning, failures that keep it from closing Error.
    enum class Priority { Error = 3, Warning = 4, Notice = 5, Info = 6 };

    // output stays the caller's and outlives the log.
    explicit ActionLog(platform::LogOutput& output, std::size_t closeLinesPerSecond = 20)
        : output_(output), limit_(closeLinesPerSecond) {}

    // A connection the pass closed, the rule that closed it and who it belonged to (see
    // CloseLine).
    void Closed(const platform::TcpRow& row, Verdict verdict, Clock::time_point now = Clock::now(),
                const RuleSet* rules = nullptr, const platform::ConnectionOwner& owner = {});
    // A blocked connection that ended before it could be closed; in the same limit as closes.
    void Missed(const platform::TcpRow& row, Verdict verdict, Clock::time_point now = Clock::now(),
                const RuleSet* rules = nullptr, const platform::ConnectionOwner& owner = {});
    // A line of its own: start, reload, a failure. Not limited; dropped and counted only when
    // the output is full. One longer than the output takes whole is cut there.
    void Say(std::string_view line, Priority priority = Priority::Info);
    // Starts every line with its priority as "<4>", which the journal reads off a service's
    // output (and keeps out of the text).
    void MarkPriorities(bool mark) { marked_ = mark; }
    // Where close lines go instead of the output (the journal, with fields of their own);
    // it tells whether it took the line, and a line it did not take goes to the output.
    // Limited and counted as the output's lines are.
    using CloseSink =
        std::function<bool(const platform::TcpRow& row, Verdict verdict,
                           const platform::ConnectionOwner& owner, const std::string& line)>;
    // linesPerSecond, when given, is the limit while the sink takes the lines (a journal, which
    // keeps each close's fields, takes more than a terminal is shown).
    void SendClosesTo(CloseSink sink, std::size_t linesPerSecond = 0) {
        sink_ = std::move(sink);
        if (linesPerSecond != 0) {
            limit_ = linesPerSecond;
        }
    }
    // Where lines of missed connections go instead of the output, as closes.
    void SendMissesTo(CloseSink sink) { missSink_ = std::move(sink); }
    // Close lines in one second past which the rest are only counted.
    std::size_t CloseLinesPerSecond() const { return limit_; }
    // How close lines name an owner's user; without it, by number.
    void NameUsersBy(UserNameOf userName) { userName_ = std::move(userName); }
    // How close lines name another network namespace; without it, "net:[INODE]".
    void NameNamespacesBy(NamespaceNameOf namespaceName) {
        namespaceName_ = std::move(namespaceName);
    }
    // Writes the summary of the closes left untold once their second is over, and how many
    // other lines were lost; call it after every pass.
    void Flush(Clock::time_point now = Clock::now());

    // Connections closed since the log began.
    std::uint64_t ClosedCount() const { return totalClosed_; }
    // Blocked connections that ended before they could be closed, since the log began.
    std::uint64_t MissedCount() const { return totalMissed_; }
    // Closes since the log began that went without a line of their own (counted in a summary).
    std::uint64_t UntoldCount() const { return totalUntold_; }
    // Other lines since the log began that the output could not take.
    std::uint64_t LostCount() const { return totalLost_; }

private:
    // Sends the close line to the sink, else writes it; whether it went anywhere.
    bool Tell(const platform::TcpRow& row, Verdict verdict, const RuleSet* rules,
              const platform::ConnectionOwner& owner);
    // Starts a new second's count when the last is over; whether this second has room for a
    // line of the limited kind.
    bool Room(Clock::time_point now);
    // Who the untold closes belonged to, for their summary: empty when nobody is known.
    std::string UntoldOwners() const;
    struct OwnerOrder {
        bool operator()(const platform::ConnectionOwner& a,
                        const platform::ConnectionOwner& b) const {
            return std::tie(a.Pid, a.Uid, a.Command) < std::tie(b.Pid, b.Uid, b.Command);
        }
    };
    // Writes line and a newline in one write when the output takes it without waiting.
    bool Write(std::string_view line, Priority priority = Priority::Info);

    platform::LogOutput& output_;
    std::size_t limit_;
    Clock::time_point windowStart_{};  // when the second of the lines counted below began
    std::size_t writtenInWindow_ = 0;
    std::uint64_t untold_ = 0;  // closes of this second not written
    // The same by owner, to a bound: "(1,700 by curl [812] user alice, 34 by others)".
    std::map<platform::ConnectionOwner, std::uint64_t, OwnerOrder> untoldBy_;
    std::uint64_t totalClosed_ = 0;
    std::uint64_t totalMissed_ = 0;
    std::uint64_t totalUntold_ = 0;
    std::atomic<std::uint64_t> totalLost_{0};
    bool marked_ = false;
    CloseSink sink_;
    CloseSink missSink_;
    UserNameOf userName_;
    NamespaceNameOf namespaceName_;
    std::atomic<std::uint64_t> lost_{0};  // lines of Say not written
};

// A count with a comma between groups of three digits: 1,734.
std::string GroupedNumber(std::uint64_t number);

}  // namespace quarnel
