#include "service/Service.h"

#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <utility>

#include "engine/PassPace.h"
#include "platform/linux/conntrack/TranslatedTcpTable.h"
#include "platform/linux/namespaces/NetnsNamespaces.h"
#include "platform/linux/netns/NamespaceRights.h"
#include "platform/linux/privileges/Privileges.h"
#include "platform/linux/privileges/ProcessRights.h"
#include "platform/linux/privileges/ProgramBeside.h"
#include "service/ConnectionCount.h"
#include "service/JournalCloses.h"
#include "service/SystemdNotify.h"

namespace quarnel {

namespace {

using namespace std::chrono_literals;

// Closes a second sent to the journal, each with its fields; past it they are counted in one
// line. The unit's LogRateLimitBurst= lets the journal take this many for its whole interval.
constexpr std::size_t kJournalClosesPerSecond = 1000;

// Anyone may make network namespaces, and each other namespace's table holds descriptors while it
// is open: so many are kept for everything else (the rules file, the copy of the rules last
// accepted, the own namespace's closes and their owners, the journal) whatever others make.
constexpr std::size_t kReservedDescriptors = 128;
constexpr std::size_t kMostNamespacesOpen = 512;

// quarnel-netns, found as the window program finds its helper: by the installed layout from this
// program's folder (<prefix>/sbin/quarneld finds <prefix>/libexec/quarnel-netns), then in the
// build tree. Nothing else chooses it: it is handed the right to enter namespaces.
std::string FindNetns() {
    return platform::FindProgramBeside("quarnel-netns",
                                       {QUARNEL_NETNS_FROM_SBINDIR, QUARNEL_NETNS_FROM_BUILD});
}

// What tells one version of the file at path from another, as far as its folder's entry shows:
// a write changes its times, a rename over it (or a link pointed elsewhere) its inode. Empty
// when there is none.
std::string FileVersion(const std::string& path) {
    struct stat file {};
    if (::stat(path.c_str(), &file) != 0) {
        return {};
    }
    return std::to_string(file.st_dev) + ":" + std::to_string(file.st_ino) + ":" +
           std::to_string(file.st_size) + ":" + std::to_string(file.st_mtim.tv_sec) + "." +
           std::to_string(file.st_mtim.tv_nsec) + ":" + std::to_string(file.st_ctim.tv_sec) + "." +
           std::to_string(file.st_ctim.tv_nsec);
}

std::string CapabilityNames(std::uint64_t set) {
    std::string names;
    for (const auto& [bit, name] :
         {std::pair{CAP_NET_ADMIN, "CAP_NET_ADMIN"}, std::pair{CAP_BPF, "CAP_BPF"},
          std::pair{CAP_PERFMON, "CAP_PERFMON"}}) {
        if ((set & platform::CapabilityBit(bit)) != 0) {
            names += (names.empty() ? "" : ", ") + std::string(name);
        }
    }
    return names.empty() ? "no capability" : names;
}

}  // namespace

using Priority = ActionLog::Priority;

Service::Service(std::string rulesPath, std::string acceptedPath, bool ownNamespaceOnly)
    : rulesPath_(std::move(rulesPath)),
      ownNamespaceOnly_(ownNamespaceOnly),
      standardOutput_(STDOUT_FILENO),
      watchdog_(WatchdogInterval(), NotifySystemd),
      log_(standardOutput_),
      watch_(rulesPath_),
      rules_(rulesPath_),
      accepted_(std::move(acceptedPath)),
      window_(log_) {
    log_.NameUsersBy([this](std::uint32_t uid) { return users_.Name(uid); });
    NamespaceNameOf namespaceName = [this](std::uint32_t inode) {
        return namespaces_ != nullptr ? namespaces_->NameOf(inode)
                                      : "net:[" + std::to_string(inode) + "]";
    };
    log_.NameNamespacesBy(namespaceName);
    if (OutputGoesToJournal()) {
        log_.MarkPriorities(true);
        journal_ = SystemJournal();
        const ContainerOfNamespace containerOf = [this](std::uint32_t inode) {
            return namespaces_ != nullptr ? namespaces_->ContainerIn(inode) : std::nullopt;
        };
        log_.SendClosesTo(
            JournalCloses(journal_, JournalMessage::Closed, namespaceName, containerOf),
            kJournalClosesPerSecond);
        log_.SendMissesTo(
            JournalCloses(journal_, JournalMessage::Missed, namespaceName, containerOf));
    }
}

int Service::Run() {
    if (!Start()) {
        NotifySystemd("STATUS=not guarding: see the log");
        return 1;
    }
    if (!Reload(Trigger::Start)) {
        NotifySystemd("STATUS=not guarding: see the log");
        return 1;
    }
    if (!watch_.Problem().empty()) {
        log_.Say("the rules file is not followed for now (" + watch_.Problem() +
                     "): it tries again every second; SIGHUP reads the file at any time",
                 Priority::Warning);
    }
    if (signals_.Descriptor() < 0) {
        log_.Say("signals cannot be waited for: SIGTERM and SIGINT end it at once, SIGHUP too",
                 Priority::Warning);
    }
    if (watchdog_.Enabled()) {
        const auto seconds =
            std::chrono::duration_cast<std::chrono::milliseconds>(watchdog_.Interval()).count() /
            1000.0;
        char interval[32];
        (void)std::snprintf(interval, sizeof interval, "%g", seconds);
        log_.Say(std::string("It tells systemd's watchdog after each pass that read the table: "
                             "stalled or reading nothing for ") +
                 interval + " s, it is ended and started again.");
    }
    UpdateStatus(true);
    NotifySystemd("READY=1\nSTATUS=" + Status());
    do {
        theEngine_->ProcessTcpTable({});
        // Only a pass that judged what it read keeps it alive: a loop that stalls, or reads
        // nothing but failures, is restarted by systemd.
        watchdog_.Passed(theEngine_->LastRead() != platform::ReadResult::Failed);
        while (const std::optional<platform::SourceNotice> notice = table_.Source->TakeNotice()) {
            log_.Say(notice->Text, notice->Ability == platform::CloseAbility::Allowed
                                       ? Priority::Notice
                                       : Priority::Error);
        }
        TellNamespaces();
        log_.Flush();
        UpdateStatus(false);
    } while (Wait());
    log_.Flush(Clock::now() + 1s);  // what the last second closed, before the end
    if (!netnsEnded_.empty()) {
        // It gave up the right to start quarnel-netns: a namespace made from now on would go
        // unguarded. systemd starts the service, and so quarnel-netns, again.
        log_.Say("quarnel-netns " + netnsEnded_ +
                     ": it ends too, so that it is started again with a new one, after " +
                     GroupedNumber(log_.ClosedCount()) + " closed",
                 Priority::Error);
        NotifySystemd("STATUS=quarnel-netns " + netnsEnded_ + ": starting again");
        return 1;
    }
    log_.Say(std::string("stopping on SIG") + signals_.LastName() + ", after " +
             GroupedNumber(log_.ClosedCount()) + " closed");
    NotifySystemd("STOPPING=1");
    return 0;
}

bool Service::Start() {
    log_.Say("quarneld " QUARNEL_VERSION " starts; rules from " + rulesPath_);
    if (!StartNetns()) {
        return false;
    }
    // The capabilities systemd gave (ambient), or those of root: from here on no more than
    // CAP_NET_ADMIN, CAP_BPF and CAP_PERFMON, and nothing it could execute gains any.
    std::uint64_t kept = 0;
    std::string problem;
    if (!platform::DropPrivileges(kept, problem)) {
        log_.Say("cannot give up its privileges, so it does not run: " + problem, Priority::Error);
        return false;
    }
    // No helper: it closes itself. Guarding every namespace, its kernel filter holds back what
    // the rules block in all of them.
    table_ = platform::OpenTcpTableSource(
        std::string(), netns_ ? platform::NamespaceScope::Every : platform::NamespaceScope::Own);
    if (!table_.Source) {
        log_.Say(platform::DescribeTcpTableSelection(table_), Priority::Error);
        return false;
    }
    if (table_.Mode == platform::TableMode::ReadOnly) {
        log_.Say(table_.Ability == platform::CloseAbility::NotSupported
                     ? "cannot close connections: this kernel cannot close them on request (it "
                       "lacks CONFIG_INET_DIAG_DESTROY)"
                     : "cannot close connections: it lacks CAP_NET_ADMIN (it has " +
                           CapabilityNames(kept) +
                           "); start it through quarnel.service, which gives it that right",
                 Priority::Error);
        return false;
    }
    // The kernel program is attached, or could not be: it keeps the right to close alone.
    if (!platform::NarrowCapabilities(platform::kServingCapabilities, kept, problem)) {
        log_.Say("cannot give up CAP_BPF and CAP_PERFMON, so it does not run: " + problem,
                 Priority::Error);
        return false;
    }
    // Closing is tried though the question had no answer: said as a warning.
    log_.Say(
        platform::DescribeTcpTableSelection(table_),
        table_.Ability == platform::CloseAbility::Allowed ? Priority::Info : Priority::Warning);
    const std::string polling = platform::DescribePollingMode(table_);
    log_.Say(polling.empty() ? "It follows the table through the kernel's reports of its changes."
                             : polling,
             polling.empty() ? Priority::Info : Priority::Warning);
    // Data held back by the packet filter instead of the kernel filter is still held back.
    log_.Say(platform::DescribePayloadFilter(table_),
             table_.Filtering.Why == platform::FilterCause::Kind::None || table_.Filtering.Netfilter
                 ? Priority::Info
                 : Priority::Warning);
    log_.Say("It keeps " + CapabilityNames(kept) + " alone, with no_new_privs.");
    if (journal_) {
        log_.Say("Each close goes to the journal with its fields, up to " +
                 GroupedNumber(log_.CloseLinesPerSecond()) +
                 " a second; past that, one line a second counts the rest.");
    }
    if (netns_) {
        std::size_t mostOpen = kMostNamespacesOpen;
        if (const std::optional<std::size_t> free = platform::FreeDescriptors()) {
            mostOpen = std::clamp<std::size_t>(
                (*free > kReservedDescriptors ? *free - kReservedDescriptors : 0) /
                    platform::NetnsNamespaces::kDescriptorsPerTable,
                1, kMostNamespacesOpen);
        }
        auto all = std::make_unique<platform::AllNamespacesTcpTable>(
            std::move(table_.Source),
            std::make_unique<platform::NetnsNamespaces>(std::move(netns_)),
            platform::AllNamespacesTcpTable::Options{.Reported = polling.empty(),
                                                     .MostOpen = mostOpen});
        namespaces_ = all.get();
        table_.Source = std::move(all);
        log_.Say(
            "It guards the connections of every network namespace of the processes in its "
            "cgroups, listed every second through quarnel-netns" +
            std::string(polling.empty() ? " and followed through the kernel's reports"
                                        : ", each read whole every 100 ms") +
            "; it keeps the tables of at most " + GroupedNumber(mostOpen) +
            " of them open at once, and opens the others' when it reads or closes there.");
    }
    // A connection to a published port reaches its socket translated: the rules judge the port
    // the client addressed as well as the socket's.
    table_.Source = std::make_unique<platform::TranslatedTcpTable>(std::move(table_.Source));
    theEngine_ = std::make_unique<Engine>(*table_.Source, hosts_, rules_);
    theEngine_->oManager.oMainForm = &window_;
    theEngine_->LogTo(log_, &records_);
    records_.NameUsersBy([this](std::uint32_t uid) { return users_.Name(uid); });
    records_.NameNamespacesBy([this](std::uint32_t inode) {
        return namespaces_ != nullptr ? namespaces_->NameOf(inode)
                                      : "net:[" + std::to_string(inode) + "]";
    });
    if (struct stat own{}; ::stat("/proc/self/ns/net", &own) == 0) {
        ownNamespace_ = static_cast<std::uint32_t>(own.st_ino);
    }  // else 0: the bus tells it as unknown
    startedAt_ = static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                                std::chrono::system_clock::now().time_since_epoch())
                                                .count());
    ServeBus();
    return true;
}

GuardFacts Service::Facts() const {
    GuardFacts facts;
    facts.Version = QUARNEL_VERSION;
    facts.Mode = platform::DescribeTcpTableSelection(table_);
    if (const std::string polling = platform::DescribePollingMode(table_); !polling.empty()) {
        facts.Mode += " " + polling;
    }
    facts.Mode += " " + platform::DescribePayloadFilter(table_);
    facts.RulesFile = rulesPath_;
    facts.RulesFrom = rulesFrom_;
    const Manager& oManager = theEngine_->oManager;
    const auto entries = [&](const List& oList) {
        std::vector<std::string> listed;
        const std::string text = oManager.SaveListToString(oList);
        for (std::size_t at = 0; !text.empty() && at <= text.size();) {
            const std::size_t comma = std::min(text.find(',', at), text.size());
            listed.push_back(text.substr(at, comma - at));
            at = comma + 1;
        }
        return listed;
    };
    facts.BlockedLocalPorts = entries(oManager.oBlockedLocalPorts);
    facts.BlockedRemotePorts = entries(oManager.oBlockedRemotePorts);
    facts.AllowedAddresses = entries(oManager.oAllowedIP);
    facts.Namespaces.emplace_back(ownNamespace_, "own");
    if (namespaces_ != nullptr) {
        for (auto& guarded : namespaces_->GuardedNamespaces()) {
            facts.Namespaces.push_back(std::move(guarded));
        }
    }
    facts.StartedAt = startedAt_;
    facts.Connections = CountConnections(theEngine_->Table.Rows);
    facts.Closed = log_.ClosedCount();
    facts.Missed = log_.MissedCount();
    facts.Untold = log_.UntoldCount();
    facts.LinesLost = log_.LostCount();
    facts.ClosedByEntry.assign(records_.ClosedByEntry().begin(), records_.ClosedByEntry().end());
    for (const CloseRecord& record : records_.Recent()) {
        facts.LastCloses.emplace_back(
            std::chrono::duration_cast<std::chrono::microseconds>(record.Time.time_since_epoch())
                .count(),
            record.Line);
    }
    return facts;
}

void Service::ServeBus() {
#ifdef QUARNEL_SYSTEMD
    const Clock::time_point now = Clock::now();
    std::string problem;
    if (bus_ && bus_->Process(problem)) {
        return;
    }
    if (!bus_ && busRetryAt_ && now < *busRetryAt_) {
        return;
    }
    if (!bus_) {
        bus_ = GuardBus::Open([this] { return Facts(); }, problem);
    } else {
        bus_.reset();
    }
    if (bus_) {
        if (busRetryAt_) {
            log_.Say(std::string("It answers on the system bus again, as ") + GuardBus::kName +
                     ".");
        } else {
            log_.Say(std::string("It answers quarnelctl and busctl on the system bus, as ") +
                     GuardBus::kName + ".");
        }
        busProblem_.clear();
        return;
    }
    busRetryAt_ = now + 10s;
    if (problem != busProblem_) {
        log_.Say(
            "quarnelctl cannot ask it for now (" + problem + "); it tries again every 10 seconds",
            Priority::Notice);
        busProblem_ = problem;
    }
#endif
}

bool Service::StartNetns() {
    bool ownOnly = ownNamespaceOnly_;
    if (!ownOnly) {
        // Asked now, before the rules are: entering namespaces is given up before they are read
        // for good. The file's setting, else that of the rules last accepted.
        RulesReading reading = ReadRulesFile(rulesPath_);
        if (reading.Result != RulesReading::Outcome::Read) {
            reading = accepted_.Read();
        }
        ownOnly = reading.Result == RulesReading::Outcome::Read &&
                  reading.OwnNamespaceOnly.value_or(false);
    }
    ownOnlyInForce_ = ownOnly;
    std::string problem;
    if (ownOnly) {
        log_.Say("It guards its own network namespace alone, as told.");
    } else if (const std::string path = FindNetns(); path.empty()) {
        log_.Say(
            "quarnel-netns is not installed beside it: it guards its own network namespace "
            "alone",
            Priority::Warning);
    } else if (netns_ = platform::NamespaceOpener::Start(path, problem); !netns_) {
        log_.Say("cannot start quarnel-netns (" + problem +
                     "): it guards its own network namespace alone",
                 Priority::Warning);
    } else if (std::vector<platform::NetworkNamespace> listed;
               !netns_->ListNamespaces(listed, problem)) {
        // Started without what it needs (CAP_SYS_ADMIN, say), it ends at once.
        netns_.reset();
        log_.Say("quarnel-netns does not serve (" + problem +
                     "): it guards its own network namespace alone",
                 Priority::Warning);
    }
    if (netns_) {
        // Its end is waited for beside the rest: it cannot be started again from here.
        netnsPid_ = netns_->Pid();
        netnsEnd_.Reset(static_cast<int>(::syscall(SYS_pidfd_open, netnsPid_, 0)));
        if (!netnsEnd_) {
            log_.Say(std::string("cannot follow quarnel-netns (") + std::strerror(errno) +
                         "): should it end, namespaces made afterwards go unguarded",
                     Priority::Warning);
        }
    }
    // Whether it started or not, nothing here enters a namespace from now on.
    if (!platform::GiveUpNamespaceRights(problem)) {
        log_.Say("cannot give up the right to enter namespaces, so it does not run: " + problem,
                 Priority::Error);
        return false;
    }
    return true;
}

void Service::TellNamespaces() {
    if (namespaces_ == nullptr) {
        return;
    }
    const Clock::time_point now = Clock::now();
    if (const std::optional<std::string> sum = churn_.TakeSum(now)) {
        log_.Say(*sum);
    }
    using Change = platform::AllNamespacesTcpTable::Note::Change;
    while (const auto note = namespaces_->TakeNote()) {
        if (note->Kind != Change::None &&
            !churn_.Tell(note->Kind == Change::Guarded ? NamespaceChurn::Change::Guarded
                                                       : NamespaceChurn::Change::Gone,
                         now)) {
            continue;  // summed later
        }
        log_.Say(note->Text, note->Problem ? Priority::Warning : Priority::Info);
    }
}

bool Service::NetnsEnded() {
    pollfd end{netnsEnd_.Get(), POLLIN, 0};
    if (!netnsEnd_ || ::poll(&end, 1, 0) != 1) {
        return false;
    }
    // Left for the table to reap as it ends: read without reaping.
    siginfo_t how{};
    if (::waitid(P_PID, static_cast<id_t>(netnsPid_), &how, WEXITED | WNOHANG | WNOWAIT) == 0 &&
        how.si_pid == netnsPid_) {
        if (how.si_code == CLD_EXITED) {
            netnsEnded_ = "ended with status " + std::to_string(how.si_status);
        } else {
            const char* name = ::sigabbrev_np(how.si_status);
            netnsEnded_ = std::string("was killed by ") +
                          (name != nullptr ? std::string("SIG") + name
                                           : "signal " + std::to_string(how.si_status));
        }
    } else {
        netnsEnded_ = "ended";
    }
    return true;
}

bool Service::Reload(Trigger trigger) {
    if (trigger != Trigger::Start) {
        NotifySystemd("RELOADING=1");
    }
    std::string version = FileVersion(rulesPath_);
    const RulesReading reading = ReadRulesFile(rulesPath_);
    if (trigger == Trigger::Start && platform::OutOfResources(reading.Error)) {
        log_.Say(
            "cannot read its rules file " + rulesPath_ + ", so it does not run: " + reading.Problem,
            Priority::Error);
        return false;
    }
    const Manager& oManager = theEngine_->oManager;
    std::string line;
    Priority priority = Priority::Warning;
    JournalMessage message =
        trigger == Trigger::Start ? JournalMessage::FallBack : JournalMessage::RulesRefused;
    switch (reading.Result) {
        case RulesReading::Outcome::Read:
            Apply(reading);
            rulesFrom_ = rulesPath_;
            priority = Priority::Info;
            message = JournalMessage::RulesInForce;
            line = "rules in force: " + DescribeRulesBriefly(oManager);
            for (const std::string& key : reading.IgnoredKeys) {
                line += "; ignored the key " + key + " (no rule list)";
            }
            if (!ownNamespaceOnly_ && reading.OwnNamespaceOnly.value_or(false) != ownOnlyInForce_) {
                line += std::string("; ") + kOwnNamespaceOnlyKey + "=" +
                        (ownOnlyInForce_ ? "false" : "true") + " takes effect at the next start";
            }
            if (std::string problem; !accepted_.Keep(reading.Text, problem)) {
                line += "; it cannot keep a copy of them for its next start (" + problem + ")";
            }
            break;
        case RulesReading::Outcome::Missing:
            line = trigger == Trigger::Start
                       ? "there is no rules file " + rulesPath_ + "; " + FallBack()
                       : "the rules file " + rulesPath_ +
                             " is gone; the rules in force stay: " + DescribeRulesBriefly(oManager);
            break;
        case RulesReading::Outcome::Unusable:
            line = "the rules file " + rulesPath_ + " is not used: " + reading.Problem + "; " +
                   (trigger == Trigger::Start
                        ? FallBack()
                        : "the rules in force stay: " + DescribeRulesBriefly(oManager));
            break;
    }
    // A change of the folder that left the file as it was says nothing new; a start, a SIGHUP
    // and each new version of the file (refused for the same reason as the last, too) answer.
    if (trigger != Trigger::FileChange || line != lastReload_ || version != lastVersion_) {
        Tell(line, priority, message);
    }
    lastReload_ = std::move(line);
    lastVersion_ = std::move(version);
    if (trigger != Trigger::Start) {
        NotifySystemd("READY=1\nSTATUS=" + Status());
    }
    return true;
}

void Service::Apply(const RulesReading& reading) {
    rules_.Values = reading.Values;
    // Every piece was checked, so nothing is left out; should the engine still say something,
    // the log keeps it.
    if (const std::string said = theEngine_->oManager.LoadSettings(); !said.empty()) {
        log_.Say(said, Priority::Warning);
    }
    // Every connection is judged afresh: one the new rules block is closed now.
    ClearConnectionCache(theEngine_->Cache);
}

std::string Service::FallBack() {
    const RulesReading copy = accepted_.Read();
    if (copy.Result == RulesReading::Outcome::Read) {
        Apply(copy);
        rulesFrom_ = accepted_.Location() + ", the rules last accepted";
        return "the rules it last accepted, kept in " + accepted_.Location() +
               ", are in force: " + DescribeRulesBriefly(theEngine_->oManager);
    }
    Apply(RulesReading{});  // no values: each list its default
    rulesFrom_ = "the defaults";
    std::string why = "it never accepted a rules file";
    if (copy.Result == RulesReading::Outcome::Unusable) {
        why = "its copy of the rules it last accepted, " + accepted_.Location() +
              ", is refused too: " + copy.Problem;
    }
    return why + "; the defaults are in force until a good file appears: " +
           DescribeRulesBriefly(theEngine_->oManager);
}

bool Service::Wait() {
    const int table = table_.Source->WaitDescriptor();
    // As the window's loop waits, and no longer than the next read of another namespace.
    Clock::duration timeout = WaitBeforePass(*theEngine_, table >= 0);
    if (namespaces_ != nullptr) {
        timeout = std::clamp<Clock::duration>(namespaces_->NextReadIn(), kShortestWait, timeout);
    }
    if (const auto reloadAt = reload_.When()) {
        timeout = std::clamp<Clock::duration>(*reloadAt - Clock::now(), 0ms, timeout);
    }
    std::array<pollfd, 5> waits{
        pollfd{signals_.Descriptor(), POLLIN, 0}, pollfd{watch_.Descriptor(), POLLIN, 0},
        pollfd{table, POLLIN, 0}, pollfd{netnsEnd_.Get(), POLLIN, 0},
        pollfd{bus_ ? bus_->Descriptor() : -1, static_cast<short>(bus_ ? bus_->Events() : 0), 0}};
    // A descriptor of -1 is skipped; an interrupted or failed wait only shortens the pause.
    (void)::poll(waits.data(), waits.size(),
                 static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(timeout).count()));

    switch (signals_.Take()) {
        case ServiceSignals::Request::Stop:
            return false;
        case ServiceSignals::Request::Reload:
            log_.Say(std::string("reloading on SIG") + signals_.LastName());
            reload_.Cancel();
            rearmAt_.reset();               // a folder that went is looked for now
            (void)Reload(Trigger::Signal);  // false only at start
            break;
        case ServiceSignals::Request::None:
            break;
    }
    if (NetnsEnded()) {
        return false;
    }
    const bool watched = watch_.Descriptor() >= 0;
    if (watched && watch_.TakeChange()) {
        reload_.Changed(Clock::now());
    }
    FollowFolder(watched);
    if (reload_.TakeDue(Clock::now())) {
        (void)Reload(Trigger::FileChange);
    }
    ServeBus();
    return true;
}

void Service::FollowFolder(bool watched) {
    const Clock::time_point now = Clock::now();
    if (watch_.Descriptor() >= 0 || (!watched && rearmAt_ && now < *rearmAt_)) {
        return;
    }
    if (watched) {
        // As deployment tools and mounted volumes do: the folder is removed and made again.
        log_.Say("the folder " + watch_.WatchedFolder() +
                     " of the rules file is gone: it is looked for every second, and the rules "
                     "in force stay until it is back",
                 Priority::Warning);
    } else if (watch_.Rearm()) {
        log_.Say("the folder " + watch_.WatchedFolder() +
                 " is back: the rules file is followed again");
        rearmAt_.reset();
        reload_.Changed(now);
        return;
    }
    rearmAt_ = now + 1s;
}

void Service::Tell(const std::string& line, Priority priority, JournalMessage message) {
    if (journal_) {
        JournalFields fields = LineFields(line, priority, message);
        fields.push_back("QUARNEL_RULES_FILE=" + rulesPath_);
        if (journal_(fields)) {
            return;
        }
    }
    log_.Say(line, priority);
}

std::string Service::Status() const {
    const std::size_t connections = CountConnections(theEngine_->Table.Rows);
    std::string status = "guarding " + GroupedNumber(connections) +
                         (connections == 1 ? " connection" : " connections");
    if (namespaces_ != nullptr) {
        const std::size_t spaces = namespaces_->Guarded();
        status += " in " + GroupedNumber(spaces) +
                  (spaces == 1 ? " network namespace" : " network namespaces");
    }
    status += ", " + GroupedNumber(log_.ClosedCount()) + " closed";
    if (log_.MissedCount() != 0) {
        status += ", " + GroupedNumber(log_.MissedCount()) + " ended before they could be closed";
    }
    return status;
}

void Service::UpdateStatus(bool now) {
    const Clock::time_point time = Clock::now();
    if (!now && time < nextStatus_) {
        return;
    }
    nextStatus_ = time + 1s;
    std::string status = Status();
    if (status != lastStatus_) {
        NotifySystemd("STATUS=" + status);
        lastStatus_ = std::move(status);
    }
}

}  // namespace quarnel
