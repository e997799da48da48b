#include "service/Service.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <utility>

#include "platform/linux/privileges/Privileges.h"
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

Service::Service(std::string rulesPath)
    : RulesPath(std::move(rulesPath)),
      Log(STDOUT_FILENO),
      Watch(RulesPath),
      Rules(RulesPath),
      Window(Log) {}

int Service::Run() {
    if (!Start()) {
        NotifySystemd("STATUS=not guarding: see the log");
        return 1;
    }
    Reload(Trigger::Start);
    if (!Watch.Problem().empty()) {
        Log.Say("the rules file is read at start and on SIGHUP only: " + Watch.Problem());
    }
    if (Signals.Descriptor() < 0) {
        Log.Say("signals cannot be waited for: SIGTERM and SIGINT end it at once, SIGHUP too");
    }
    UpdateStatus(true);
    NotifySystemd("READY=1\nSTATUS=" + Status());
    do {
        TheEngine->ProcessTcpTable({});
        while (const std::optional<platform::SourceNotice> notice = Table.Source->TakeNotice()) {
            Log.Say(notice->Text);
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
        Log.Say("cannot give up its privileges, so it does not run: " + problem);
        return false;
    }
    Table = platform::OpenTcpTableSource(std::string());  // no helper: it closes itself
    if (!Table.Source) {
        Log.Say(platform::DescribeTcpTableSelection(Table));
        return false;
    }
    if (Table.Mode == platform::TableMode::ReadOnly) {
        Log.Say(Table.Ability == platform::CloseAbility::NotSupported
                    ? "cannot close connections: this kernel cannot close them on request (it "
                      "lacks CONFIG_INET_DIAG_DESTROY)"
                    : "cannot close connections: it lacks CAP_NET_ADMIN (it has " +
                          CapabilityNames(kept) +
                          "); start it through quarnel.service, which gives it that right");
        return false;
    }
    // The kernel program is attached, or could not be: it keeps the right to close alone.
    if (!platform::NarrowCapabilities(platform::kServingCapabilities, kept, problem)) {
        Log.Say("cannot give up CAP_BPF and CAP_PERFMON, so it does not run: " + problem);
        return false;
    }
    Log.Say(platform::DescribeTcpTableSelection(Table));
    const std::string polling = platform::DescribePollingMode(Table);
    Log.Say(polling.empty() ? "It follows the table through the kernel's reports of its changes."
                            : polling);
    const std::string filter = platform::DescribePayloadFilter(Table);
    Log.Say(filter.empty() ? "The kernel holds back the data of blocked connections." : filter);
    Log.Say("It keeps " + CapabilityNames(kept) + " alone, with no_new_privs.");
    TheEngine = std::make_unique<Engine>(*Table.Source, Hosts, Rules);
    TheEngine->oManager.oMainForm = &Window;
    TheEngine->SetCloseObserver([this](const platform::TcpRow& row, Verdict verdict) {
        Log.Closed(row, verdict, ActionLog::Clock::now(), &TheEngine->oManager.Rules());
    });
    return true;
}

void Service::Reload(Trigger trigger) {
    if (trigger != Trigger::Start) {
        NotifySystemd("RELOADING=1");
    }
    if (Watch.Descriptor() < 0 && trigger != Trigger::Start) {
        (void)Watch.Rearm();  // the folder may be back; a SIGHUP says so if it is not
    }
    const RulesReading reading = ReadRulesFile(RulesPath);
    Manager& oManager = TheEngine->oManager;
    std::string line;
    switch (reading.Result) {
        case RulesReading::Outcome::Read:
            Rules.Values = reading.Values;
            // Every piece was checked, so nothing is left out; should the engine still say
            // something, the log keeps it.
            if (const std::string said = oManager.LoadSettings(); !said.empty()) {
                Log.Say(said);
            }
            // Every connection is judged afresh: one the new rules block is closed now.
            ClearConnectionCache(TheEngine->Cache);
            line = "rules in force: " + DescribeRules(oManager);
            for (const std::string& key : reading.IgnoredKeys) {
                line += "; ignored the key " + key + " (no rule list)";
            }
            break;
        case RulesReading::Outcome::Missing:
            if (trigger == Trigger::Start) {
                (void)oManager.LoadSettings();  // the defaults, no port blocked: nothing to say
                line =
                    "there is no rules file " + RulesPath + ": no port is blocked until it appears";
            } else {
                line = "the rules file " + RulesPath +
                       " is gone; the rules in force stay: " + DescribeRules(oManager);
            }
            break;
        case RulesReading::Outcome::Refused:
            if (trigger == Trigger::Start) {
                (void)oManager.LoadSettings();  // the defaults, as above
            }
            line = "the rules file " + RulesPath + " is not used: " + reading.Problem +
                   "; the rules in force stay: " + DescribeRules(oManager);
            break;
    }
    // A change of the folder that left the file as it was, or an editor's several writes, say
    // nothing new; a start or a SIGHUP always answers.
    if (trigger != Trigger::FileChange || line != LastReload) {
        Log.Say(line);
    }
    LastReload = std::move(line);
    if (trigger != Trigger::Start) {
        NotifySystemd("READY=1\nSTATUS=" + Status());
    }
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
            Reload(Trigger::Signal);
            break;
        case ServiceSignals::Request::None:
            break;
    }
    if (Watch.Descriptor() >= 0 && Watch.TakeChange()) {
        ReloadAt = Clock::now() + kQuiet;  // a later change moves it on
    }
    if (ReloadAt && Clock::now() >= *ReloadAt) {
        ReloadAt.reset();
        Reload(Trigger::FileChange);
    }
    return true;
}

std::string Service::Status() const {
    const auto& rows = TheEngine->Table.Rows;
    const auto established = std::count_if(rows.begin(), rows.end(), [](const auto& row) {
        return row.State == platform::TcpState::Established;
    });
    return "guarding " + GroupedNumber(static_cast<std::uint64_t>(established)) + " connections, " +
           GroupedNumber(Log.ClosedCount()) + " closed";
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
