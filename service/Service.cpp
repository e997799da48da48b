#include "service/Service.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <utility>

#include "platform/linux/privileges/Privileges.h"
#include "platform/linux/privileges/ProcessRights.h"
#include "service/JournalCloses.h"
#include "service/SystemdNotify.h"

namespace quarnel {

namespace {

using namespace std::chrono_literals;

// The longest wait without a pass while the table tells of its changes, as the window's.
constexpr auto kLongestSleep = 250ms;
// How long the rules file must stay unchanged before it is read: an editor that writes in place
// is done by then, so a half-written file is seldom read (and refused when it is).
constexpr auto kQuiet = 100ms;

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

Service::Service(std::string rulesPath, std::string acceptedPath)
    : RulesPath(std::move(rulesPath)),
      Log(STDOUT_FILENO),
      Watch(RulesPath),
      Rules(RulesPath),
      Accepted(std::move(acceptedPath)),
      Window(Log) {
    if (OutputGoesToJournal()) {
        Log.MarkPriorities(true);
        Log.SendClosesTo(JournalCloses());
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
    if (!Watch.Problem().empty()) {
        Log.Say("the rules file is not followed for now (" + Watch.Problem() +
                    "): it tries again every second; SIGHUP reads the file at any time",
                Priority::Warning);
    }
    if (Signals.Descriptor() < 0) {
        Log.Say("signals cannot be waited for: SIGTERM and SIGINT end it at once, SIGHUP too",
                Priority::Warning);
    }
    UpdateStatus(true);
    NotifySystemd("READY=1\nSTATUS=" + Status());
    do {
        TheEngine->ProcessTcpTable({});
        while (const std::optional<platform::SourceNotice> notice = Table.Source->TakeNotice()) {
            Log.Say(notice->Text, notice->Ability == platform::CloseAbility::Allowed
                                      ? Priority::Notice
                                      : Priority::Error);
        }
        Log.Flush();
        UpdateStatus(false);
    } while (Wait());
    Log.Flush(Clock::now() + 1s);  // what the last second closed, before the end
    Log.Say(std::string("stopping on SIG") + Signals.LastName() + ", after " +
            GroupedNumber(Log.ClosedCount()) + " closed");
    NotifySystemd("STOPPING=1");
    return 0;
}

bool Service::Start() {
    Log.Say("quarneld " QUARNEL_VERSION " starts; rules from " + RulesPath);
    // The capabilities systemd gave (ambient), or those of root: from here on no more than
    // CAP_NET_ADMIN, CAP_BPF and CAP_PERFMON, and nothing it could execute gains any.
    std::uint64_t kept = 0;
    std::string problem;
    if (!platform::DropPrivileges(kept, problem)) {
        Log.Say("cannot give up its privileges, so it does not run: " + problem, Priority::Error);
        return false;
    }
    Table = platform::OpenTcpTableSource(std::string());  // no helper: it closes itself
    if (!Table.Source) {
        Log.Say(platform::DescribeTcpTableSelection(Table), Priority::Error);
        return false;
    }
    if (Table.Mode == platform::TableMode::ReadOnly) {
        Log.Say(Table.Ability == platform::CloseAbility::NotSupported
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
        Log.Say("cannot give up CAP_BPF and CAP_PERFMON, so it does not run: " + problem,
                Priority::Error);
        return false;
    }
    // Closing is tried though the question had no answer: said as a warning.
    Log.Say(platform::DescribeTcpTableSelection(Table),
            Table.Ability == platform::CloseAbility::Allowed ? Priority::Info : Priority::Warning);
    const std::string polling = platform::DescribePollingMode(Table);
    Log.Say(polling.empty() ? "It follows the table through the kernel's reports of its changes."
                            : polling,
            polling.empty() ? Priority::Info : Priority::Warning);
    // Data held back by the packet filter instead of the kernel filter is still held back.
    Log.Say(platform::DescribePayloadFilter(Table),
            Table.Filtering.Why == platform::FilterCause::Kind::None || Table.Filtering.Netfilter
                ? Priority::Info
                : Priority::Warning);
    Log.Say("It keeps " + CapabilityNames(kept) + " alone, with no_new_privs.");
    TheEngine = std::make_unique<Engine>(*Table.Source, Hosts, Rules);
    TheEngine->oManager.oMainForm = &Window;
    TheEngine->SetCloseObserver([this](const platform::TcpRow& row, Verdict verdict) {
        Log.Closed(row, verdict, ActionLog::Clock::now(), &TheEngine->oManager.Rules());
    });
    TheEngine->SetMissObserver([this](const platform::TcpRow& row, Verdict verdict) {
        Log.Missed(row, verdict, ActionLog::Clock::now(), &TheEngine->oManager.Rules());
    });
    return true;
}

bool Service::Reload(Trigger trigger) {
    if (trigger != Trigger::Start) {
        NotifySystemd("RELOADING=1");
    }
    const RulesReading reading = ReadRulesFile(RulesPath);
    if (trigger == Trigger::Start && platform::OutOfResources(reading.Error)) {
        Log.Say(
            "cannot read its rules file " + RulesPath + ", so it does not run: " + reading.Problem,
            Priority::Error);
        return false;
    }
    const Manager& oManager = TheEngine->oManager;
    std::string line;
    Priority priority = Priority::Warning;
    switch (reading.Result) {
        case RulesReading::Outcome::Read:
            Apply(reading);
            priority = Priority::Info;
            line = "rules in force: " + DescribeRules(oManager);
            for (const std::string& key : reading.IgnoredKeys) {
                line += "; ignored the key " + key + " (no rule list)";
            }
            if (std::string problem; !Accepted.Keep(reading.Text, problem)) {
                line += "; it cannot keep a copy of them for its next start (" + problem + ")";
            }
            break;
        case RulesReading::Outcome::Missing:
            line = trigger == Trigger::Start
                       ? "there is no rules file " + RulesPath + "; " + FallBack()
                       : "the rules file " + RulesPath +
                             " is gone; the rules in force stay: " + DescribeRules(oManager);
            break;
        case RulesReading::Outcome::Refused:
            line =
                "the rules file " + RulesPath + " is not used: " + reading.Problem + "; " +
                (trigger == Trigger::Start ? FallBack()
                                           : "the rules in force stay: " + DescribeRules(oManager));
            break;
    }
    // A change of the folder that left the file as it was, or an editor's several writes, say
    // nothing new; a start or a SIGHUP always answers.
    if (trigger != Trigger::FileChange || line != LastReload) {
        Log.Say(line, priority);
    }
    LastReload = std::move(line);
    if (trigger != Trigger::Start) {
        NotifySystemd("READY=1\nSTATUS=" + Status());
    }
    return true;
}

void Service::Apply(const RulesReading& reading) {
    Rules.Values = reading.Values;
    // Every piece was checked, so nothing is left out; should the engine still say something,
    // the log keeps it.
    if (const std::string said = TheEngine->oManager.LoadSettings(); !said.empty()) {
        Log.Say(said, Priority::Warning);
    }
    // Every connection is judged afresh: one the new rules block is closed now.
    ClearConnectionCache(TheEngine->Cache);
}

std::string Service::FallBack() {
    const RulesReading copy = Accepted.Read();
    if (copy.Result == RulesReading::Outcome::Read) {
        Apply(copy);
        return "the rules it last accepted, kept in " + Accepted.Location() +
               ", are in force: " + DescribeRules(TheEngine->oManager);
    }
    Apply(RulesReading{});  // no values: each list its default
    std::string why = "it never accepted a rules file";
    if (copy.Result == RulesReading::Outcome::Refused) {
        why = "its copy of the rules it last accepted, " + Accepted.Location() +
              ", is refused too: " + copy.Problem;
    }
    return why + "; the defaults are in force until a good file appears: " +
           DescribeRules(TheEngine->oManager);
}

bool Service::Wait() {
    const int table = Table.Source->WaitDescriptor();
    // A table that cannot tell when it changes, or a close to try again: the next pass comes
    // after a millisecond.
    auto timeout = table < 0 || TheEngine->PassDue() ? Clock::duration(1ms) : kLongestSleep;
    if (ReloadAt) {
        timeout = std::clamp<Clock::duration>(*ReloadAt - Clock::now(), 0ms, timeout);
    }
    std::array<pollfd, 3> waits{pollfd{Signals.Descriptor(), POLLIN, 0},
                                pollfd{Watch.Descriptor(), POLLIN, 0}, pollfd{table, POLLIN, 0}};
    // A descriptor of -1 is skipped; an interrupted or failed wait only shortens the pause.
    (void)::poll(waits.data(), waits.size(),
                 static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(timeout).count()));

    switch (Signals.Take()) {
        case ServiceSignals::Request::Stop:
            return false;
        case ServiceSignals::Request::Reload:
            Log.Say(std::string("reloading on SIG") + Signals.LastName());
            ReloadAt.reset();
            RearmAt.reset();                // a folder that went is looked for now
            (void)Reload(Trigger::Signal);  // false only at start
            break;
        case ServiceSignals::Request::None:
            break;
    }
    const bool watched = Watch.Descriptor() >= 0;
    if (watched && Watch.TakeChange()) {
        ReloadAt = Clock::now() + kQuiet;  // a later change moves it on
    }
    FollowFolder(watched);
    if (ReloadAt && Clock::now() >= *ReloadAt) {
        ReloadAt.reset();
        (void)Reload(Trigger::FileChange);
    }
    return true;
}

void Service::FollowFolder(bool watched) {
    const Clock::time_point now = Clock::now();
    if (Watch.Descriptor() >= 0 || (!watched && RearmAt && now < *RearmAt)) {
        return;
    }
    if (watched) {
        // As deployment tools and mounted volumes do: the folder is removed and made again.
        Log.Say("the folder " + Watch.WatchedFolder() +
                    " of the rules file is gone: it is looked for every second, and the rules "
                    "in force stay until it is back",
                Priority::Warning);
    } else if (Watch.Rearm()) {
        Log.Say("the folder " + Watch.WatchedFolder() +
                " is back: the rules file is followed again");
        RearmAt.reset();
        ReloadAt = now + kQuiet;
        return;
    }
    RearmAt = now + 1s;
}

std::string Service::Status() const {
    const auto& rows = TheEngine->Table.Rows;
    const auto established = std::count_if(rows.begin(), rows.end(), [](const auto& row) {
        return row.State == platform::TcpState::Established;
    });
    std::string status = "guarding " + GroupedNumber(static_cast<std::uint64_t>(established)) +
                         " connections, " + GroupedNumber(Log.ClosedCount()) + " closed";
    if (Log.MissedCount() != 0) {
        status += ", " + GroupedNumber(Log.MissedCount()) + " ended before they could be closed";
    }
    return status;
}

void Service::UpdateStatus(bool now) {
    const Clock::time_point time = Clock::now();
    if (!now && time < NextStatus) {
        return;
    }
    NextStatus = time + 1s;
    std::string status = Status();
    if (status != LastStatus) {
        NotifySystemd("STATUS=" + status);
        LastStatus = std::move(status);
    }
}

}  // namespace quarnel
