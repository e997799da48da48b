#pragma once

#include <sys/types.h>

#include <chrono>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "platform/TcpTableSource.h"
#include "platform/linux/LinuxTableSource.h"
#include "platform/linux/client/HelperChannel.h"
#include "platform/linux/client/HelperProcess.h"
#include "platform/linux/client/HelperRestarts.h"
#include "platform/linux/filter/FilterCause.h"

namespace quarnel::platform {

// The TCP table through quarnel-helper: the helper reads and closes, this process needs no
// privilege.
//
// A helper that ends, stops answering or answers wrongly is noticed within the call that asks
// it (a whole answer must come within kAnswerTimeout). Then the user is told that closing
// stopped working (a notice) and the helper is restarted, at once or after a pause as
// HelperRestarts decides, for as long as the program runs. Meanwhile the table is read in this
// process and nothing is closed, so connections keep showing. The user is told when closing
// works again and how long it did not, and once per stop that a restart failed; a hiccup never
// ends protection for good.
//
// The helper sends the rows that change as they change, where it keeps the table from the
// kernel's reports (it may load the kernel program), and else tells after every read that the
// table may have changed: a read applies what it sent and asks it nothing, and finds the table
// unchanged when it sent nothing, unless it has been silent for kLongestSilence. A helper that
// stopped answering sends nothing either, so then a read asks it anyway. Where it keeps the
// table from the reports, its socket is the descriptor to wait on; the caller still reads at
// least every kLongestSilence, or a silent helper goes unnoticed (and the reports that wake
// nobody, of closes, wait for the question).
class HelperTcpTable final : public LinuxTableSource {
public:
    // How long a whole answer may take (and HelperChannel::kPartAllowance more for each further
    // part): long enough for the helper to read a whole table of 100,000 connections (200,000
    // rows; a few hundred ms on a busy machine) before its first part, short enough that a hung
    // helper costs one pass no more than a second.
    static constexpr std::chrono::milliseconds kAnswerTimeout{1000};
    // A helper that was just started first loads and opens its sockets.
    static constexpr std::chrono::milliseconds kStartTimeout{2000};
    // How long a read trusts a silent helper: a read after that asks it even when it told of
    // no change. Reading an unchanged table costs the helper next to nothing.
    static constexpr std::chrono::milliseconds kLongestSilence{250};
    // Starts the helper at path and asks whether it can close connections. nullptr, with
    // problem, when it cannot be started or does not answer; else ability is its answer.
    [[nodiscard]] static std::unique_ptr<HelperTcpTable> Start(const std::string& path,
                                                               CloseAbility& ability,
                                                               std::string& problem);

    HelperTcpTable(std::string path, std::unique_ptr<HelperProcess> process,
                   std::unique_ptr<HelperChannel> channel);

    [[nodiscard]] ReadResult Read(std::vector<TcpRow>& rows, TableChanges* changes) override;
    int WaitDescriptor() const override;
    [[nodiscard]] bool CloseConnection(const TcpRow& row) override;
    CloseAbility CanCloseConnections() override;
    std::optional<SourceNotice> TakeNotice() override;
    // What the helper sent as missed; none while the table reads in this process.
    void TakeMissed(std::vector<TcpRow>& rows) override;
    ConnectionOwner Owner(const TcpRow& row) const override;
    // The helper holds back what the rules block, from now on and again after a restart.
    void SetRules(const BlockingRules& rules) override;
    // The helper names the owners itself (Owner), and reads its own namespace alone.
    void TakeOwners(std::vector<SocketOwner>& owners) override { owners.clear(); }
    [[nodiscard]] bool TakeOtherNamespaces(std::vector<TcpRow>& rows) override {
        rows.clear();
        return true;
    }
    void LookForHolders(const std::vector<SocketOwner>& /*sockets*/) override {}

    // Why the helper reads the table whole for every read; kind None when it keeps it from the
    // kernel's reports.
    const PollingCause& Polling() const { return polling_; }
    // Why the helper's kernel filter does not hold back blocked payload; kind None while it does.
    const FilterCause& Filtering() const { return filtered_; }

    // The running helper's process id; 0 once the table reads in this process.
    pid_t HelperPid() const { return process_ ? process_->Pid() : 0; }

private:
    using Clock = std::chrono::steady_clock;

    ReadResult ReadWhole(std::vector<TcpRow>& rows);
    ReadResult ReadChanges(std::vector<TcpRow>& rows, TableChanges& changes);
    // The helper broke: tells the user, reads here meanwhile and restarts it now or later.
    void HelperFailed();
    // Without a helper: starts one again once the pause has passed.
    void RestartIfDue();
    void Restart();
    // Reads in this process until a helper runs again; what the user must know about that.
    std::string FallBack();
    void Notify(CloseAbility ability, std::string text);

    std::string path_;
    std::unique_ptr<HelperProcess> process_;  // null after falling back
    std::unique_ptr<HelperChannel> channel_;
    PollingCause polling_;
    FilterCause filtered_;
    BlockingRules rules_;   // the latest rules, for a restarted helper
    bool mustRead_ = true;  // no read has fetched the table from this helper yet
    // The caller's rows may not be the helper's: the next read of changes asks for the whole
    // table (a new helper, a failed or refused read).
    bool mustReadWhole_ = true;
    std::chrono::steady_clock::time_point lastAnswer_{};  // of the last read the helper answered
    HelperRestarts restarts_;
    Clock::time_point restartAt_{};             // while no helper runs
    bool restartFailureTold_ = false;           // during this stop
    std::unique_ptr<TcpTableSource> fallback_;  // reads here while no helper runs
    std::deque<SourceNotice> notices_;
};

// What a helper's answer to the permission question means, as the user is told why it cannot
// close connections.
const char* CloseAbilityText(CloseAbility ability);

}  // namespace quarnel::platform
