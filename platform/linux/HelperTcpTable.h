#pragma once

#include <sys/types.h>

#include <chrono>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "platform/TcpTableSource.h"
#include "platform/linux/HelperChannel.h"
#include "platform/linux/HelperProcess.h"

namespace quarnel::platform {

// The TCP table through quarnel-helper: the helper reads and closes, this process needs no
// privilege.
//
// A helper that ends, stops answering or answers wrongly is noticed within the call that asks
// it (every message of an answer must come within kAnswerTimeout). Then the user is told once
// that closing stopped working (a notice), the helper is restarted once and the user told
// whether that worked. When the restart fails, or a restarted helper fails again, the table is
// read in this process from then on and nothing is closed, so connections keep showing.
//
// The helper tells when the table changes (it keeps it from the kernel's reports where it may
// load the kernel program; else after every read): until it does, a read asks it nothing and
// finds the table unchanged, unless it has been silent for kLongestSilence. A helper that
// stopped answering tells nothing either, so then a read asks it anyway. Where it keeps the
// table from the reports, its socket is the descriptor to wait on; the caller still reads at
// least every kLongestSilence, or a silent helper goes unnoticed.
class HelperTcpTable final : public TcpTableSource {
public:
    // How long each message of an answer may take: short enough that a hung helper costs one
    // pass no more than a quarter of a second, long enough for the largest table on a busy
    // machine.
    static constexpr std::chrono::milliseconds kAnswerTimeout{250};
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

    [[nodiscard]] bool ReadTable(std::vector<TcpRow>& rows) override;
    ReadResult ReadTableIfChanged(std::vector<TcpRow>& rows) override;
    int WaitDescriptor() const override;
    [[nodiscard]] bool CloseConnection(const TcpRow& row) override;
    CloseAbility CanCloseConnections() override;
    std::optional<SourceNotice> TakeNotice() override;

    // Why the helper reads the table whole for every read; kind None when it keeps it from the
    // kernel's reports.
    const PollingCause& Polling() const { return polling_; }

    // The running helper's process id; 0 once the table reads in this process.
    pid_t HelperPid() const { return process_ ? process_->Pid() : 0; }

private:
    // The helper broke: tells the user, and restarts it once or falls back to reading here.
    void HelperFailed();
    // Reads in this process from now on; what the user must know about that, if anything.
    std::string FallBack();
    void Notify(CloseAbility ability, std::string text);

    std::string path_;
    std::unique_ptr<HelperProcess> process_;  // null after falling back
    std::unique_ptr<HelperChannel> channel_;
    PollingCause polling_;
    bool mustRead_ = true;  // no read has fetched the table from this helper yet
    std::chrono::steady_clock::time_point lastAnswer_{};  // of the last read the helper answered
    bool restarted_ = false;
    std::unique_ptr<TcpTableSource> fallback_;  // reads here; null until falling back
    std::deque<SourceNotice> notices_;
};

// What a helper's answer to the permission question means, as the user is told why it cannot
// close connections.
const char* HelperRefusalText(CloseAbility ability);

}  // namespace quarnel::platform
