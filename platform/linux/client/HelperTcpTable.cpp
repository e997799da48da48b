#include "platform/linux/client/HelperTcpTable.h"

#include <cstring>

#include "platform/linux/client/FilteringTcpTable.h"
#include "platform/linux/client/ReadOnlyTcpTable.h"
#include "platform/linux/sockdiag/LinuxTcpTable.h"

namespace quarnel::platform {

namespace {

// Stops the helper that broke and says what happened to it.
std::string StopBroken(const std::string& path, HelperProcess& process,
                       const HelperChannel& channel) {
    std::string what = "the helper " + path + " " + channel.Problem();
    const std::string ended = process.Stop();
    if (channel.Failure() == ChannelFailure::Ended) {
        what += " (it " + ended + ")";
    }
    return what;
}

// A length of time as the user is told it: "0.012 s".
std::string Seconds(std::chrono::steady_clock::duration length) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(length).count();
    std::string fraction = std::to_string(ms % 1000);
    fraction.insert(0, 3 - fraction.size(), '0');
    return std::to_string(ms / 1000) + "." + fraction + " s";
}

}  // namespace

const char* CloseAbilityText(CloseAbility ability) {
    switch (ability) {
        case CloseAbility::Allowed:
            return "it may close connections";
        case CloseAbility::NoPermission:
            return "it lacks the right to close connections (CAP_NET_ADMIN)";
        case CloseAbility::NotSupported:
            return "this kernel cannot close connections on request";
        case CloseAbility::Unknown:
            break;
    }
    return "it cannot tell whether it may close connections";
}

std::unique_ptr<HelperTcpTable> HelperTcpTable::Start(const std::string& path,
                                                      CloseAbility& ability, std::string& problem) {
    std::unique_ptr<HelperProcess> process = HelperProcess::Start(path, problem);
    if (!process) {
        return nullptr;
    }
    auto channel = std::make_unique<HelperChannel>(process->Socket(), kStartTimeout);
    PollingCause polling;
    FilterCause filtered;
    // No rules yet: the answer only tells whether its filter is attached.
    if (!channel->Ask(ability) || !channel->Watch(polling) || !channel->SetRules({}, filtered)) {
        problem = StopBroken(path, *process, *channel);
        return nullptr;
    }
    channel->SetTimeout(kAnswerTimeout);
    auto table = std::make_unique<HelperTcpTable>(path, std::move(process), std::move(channel));
    table->polling_ = polling;
    table->filtered_ = filtered;
    return table;
}

HelperTcpTable::HelperTcpTable(std::string path, std::unique_ptr<HelperProcess> process,
                               std::unique_ptr<HelperChannel> channel)
    : path_(std::move(path)), process_(std::move(process)), channel_(std::move(channel)) {
    (void)restarts_.Started(Clock::now());  // the first: no gap before it
}

ReadResult HelperTcpTable::Read(std::vector<TcpRow>& rows, TableChanges* changes) {
    RestartIfDue();
    return changes == nullptr ? ReadWhole(rows) : ReadChanges(rows, *changes);
}

ReadResult HelperTcpTable::ReadWhole(std::vector<TcpRow>& rows) {
    // The caller's rows may be others than those of the reads of changes.
    mustReadWhole_ = true;
    // A few times at most: a helper that fails at once again is restarted after a pause.
    while (channel_) {
        bool read = false;
        if (channel_->ReadTable(rows, read)) {
            return read ? ReadResult::Changed : ReadResult::Failed;
        }
        HelperFailed();
    }
    return fallback_ ? fallback_->Read(rows, nullptr) : ReadResult::Failed;
}

ReadResult HelperTcpTable::ReadChanges(std::vector<TcpRow>& rows, TableChanges& changes) {
    // At most twice, as a whole read.
    while (channel_) {
        bool told = false;
        ReadResult result = ReadResult::Failed;
        if (channel_->TakeNews(told)) {
            const auto now = std::chrono::steady_clock::now();
            // Rows the helper sent on its own fit only the rows of the reads of changes.
            if (!told && !mustReadWhole_ && channel_->ApplyPushed(rows, changes)) {
                lastAnswer_ = now;
                return ReadResult::Changed;
            }
            if (!told && !mustRead_ && now - lastAnswer_ < kLongestSilence) {
                return ReadResult::Unchanged;
            }
            bool read = false;
            const bool answered =
                mustReadWhole_
                    ? channel_->ReadTable(rows, read) &&
                          (result = read ? ReadResult::Changed : ReadResult::Failed, true)
                    : channel_->ReadTableChanges(rows, changes, result);
            if (answered) {
                if (mustReadWhole_) {
                    changes.Whole = true;
                    changes.Rows.clear();
                }
                mustRead_ = false;
                lastAnswer_ = now;
                // A failed read may have moved the helper's rows on without ours.
                mustReadWhole_ = result == ReadResult::Failed;
                return result;
            }
        }
        HelperFailed();
    }
    // The fallback's rows are not the helper's: always the whole table.
    changes.Whole = true;
    changes.Rows.clear();
    return fallback_ ? fallback_->Read(rows, nullptr) : ReadResult::Failed;
}

int HelperTcpTable::WaitDescriptor() const {
    // A helper that polls tells of a change after every read: waiting on it would not pause.
    return process_ && polling_.Why == PollingCause::Kind::None ? process_->Socket() : -1;
}

bool HelperTcpTable::CloseConnection(const TcpRow& row) {
    if (!channel_) {
        return false;
    }
    bool closed = false;
    if (channel_->Close(row, closed)) {
        return closed;
    }
    // Not asked again: a connection that survives is closed on the next pass.
    HelperFailed();
    return false;
}

CloseAbility HelperTcpTable::CanCloseConnections() {
    RestartIfDue();
    while (channel_) {
        CloseAbility ability = CloseAbility::Unknown;
        if (channel_->Ask(ability)) {
            return ability;
        }
        HelperFailed();
    }
    return CloseAbility::NoPermission;
}

void HelperTcpTable::SetRules(const BlockingRules& rules) {
    rules_ = rules;
    // As a read: a helper that cannot take them is restarted, and every new one is given them.
    RestartIfDue();
    while (channel_) {
        FilterCause filtered;
        if (channel_->SetRules(rules, filtered)) {
            std::string text = FilterChangeText(filtered_, filtered);
            filtered_ = filtered;
            if (!text.empty()) {
                Notify(CloseAbility::Allowed, std::move(text));
            }
            return;
        }
        HelperFailed();
    }
}

std::optional<SourceNotice> HelperTcpTable::TakeNotice() {
    if (notices_.empty()) {
        return std::nullopt;
    }
    SourceNotice notice = std::move(notices_.front());
    notices_.pop_front();
    return notice;
}

void HelperTcpTable::TakeMissed(std::vector<TcpRow>& rows) {
    if (channel_) {
        return channel_->TakeMissed(rows);
    }
    rows.clear();
}

ConnectionOwner HelperTcpTable::Owner(const TcpRow& row) const {
    return channel_ ? channel_->Owner(row.OwnerPid) : ConnectionOwner{};
}

void HelperTcpTable::HelperFailed() {
    const std::string what = StopBroken(path_, *process_, *channel_);
    channel_.reset();
    process_.reset();
    restartFailureTold_ = false;
    const std::string fallBack = FallBack();
    const Clock::time_point now = Clock::now();
    restartAt_ = restarts_.Failed(now);
    if (restartAt_ <= now) {
        Notify(CloseAbility::Unknown,
               "Closing connections stopped working: " + what + ". It is being restarted.");
        return Restart();
    }
    const auto seconds = std::chrono::ceil<std::chrono::seconds>(restartAt_ - now).count();
    Notify(CloseAbility::NoPermission,
           "Closing connections stopped working: " + what + ". It is restarted in " +
               std::to_string(seconds) +
               " s; until then connections are still listed, but none is closed." + fallBack);
}

void HelperTcpTable::RestartIfDue() {
    if (!channel_ && Clock::now() >= restartAt_) {
        Restart();
    }
}

void HelperTcpTable::Restart() {
    CloseAbility ability = CloseAbility::Unknown;
    std::string problem;
    std::unique_ptr<HelperTcpTable> again = Start(path_, ability, problem);
    if (again && ability == CloseAbility::Allowed) {
        process_ = std::move(again->process_);
        channel_ = std::move(again->channel_);
        polling_ = again->polling_;
        mustRead_ = true;
        mustReadWhole_ = true;
        const Clock::duration gap = restarts_.Started(Clock::now());
        fallback_.reset();
        // The new helper holds back what the old one did.
        FilterCause filtered;
        if (!channel_->SetRules(rules_, filtered)) {
            return HelperFailed();  // broke again at once: it died at its start
        }
        filtered_ = filtered;
        return Notify(CloseAbility::Allowed,
                      "The helper " + path_ +
                          " was restarted; closing connections works again after a gap of " +
                          Seconds(gap) + ".");
    }
    restartAt_ = restarts_.StartFailed(Clock::now());
    if (restartFailureTold_) {
        return;  // still failing: the user knows, and is told when it works again
    }
    restartFailureTold_ = true;
    if (again) {
        problem = CloseAbilityText(ability);
    }
    Notify(CloseAbility::NoPermission,
           "The helper " + path_ + " could not be restarted: " + problem +
               ". Quarnel tries again, at least once a minute; until then connections are still "
               "listed, but none is closed." +
               FallBack());
}

std::string HelperTcpTable::FallBack() {
    if (fallback_) {
        return {};
    }
    int error = 0;
    std::unique_ptr<LinuxTcpTable> table = LinuxTcpTable::Open(&error);
    if (!table) {
        return std::string(" Nor can this program read the TCP table itself (") +
               std::strerror(error) + "): connections are not listed either.";
    }
    fallback_ = std::make_unique<ReadOnlyTcpTable>(std::move(table), CloseAbility::NoPermission);
    return {};
}

void HelperTcpTable::Notify(CloseAbility ability, std::string text) {
    notices_.push_back({ability, std::move(text)});
}

}  // namespace quarnel::platform
