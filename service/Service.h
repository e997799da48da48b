#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "engine/ActionLog.h"
#include "engine/CloseRecords.h"
#include "engine/Engine.h"
#include "platform/linux/UniqueFd.h"
#include "platform/linux/client/DescriptorOutput.h"
#include "platform/linux/client/LinuxHostAddressSource.h"
#include "platform/linux/client/TcpTableSelection.h"
#include "platform/linux/client/UserNames.h"
#include "platform/linux/namespaces/AllNamespacesTcpTable.h"
#include "platform/linux/netns/NamespaceOpener.h"
#include "service/AcceptedRules.h"
#include "service/GuardBus.h"
#include "service/HeadlessWindow.h"
#include "service/JournalCloses.h"
#include "service/NamespaceChurn.h"
#include "service/ReloadDelay.h"
#include "service/RulesFile.h"
#include "service/RulesWatch.h"
#include "service/ServiceSignals.h"
#include "service/Watchdog.h"

namespace quarnel {

// quarneld's life: it starts quarnel-netns (unless ownNamespaceOnly, or the rules file's
// OwnNamespaceOnly=true, keeps it to its own network namespace), gives up every privilege but
// CAP_NET_ADMIN, guards the machine (every network namespace it sees) with the
// rules of its rules file, follows that file, logs each connection it closes on standard
// output, and ends on SIGTERM or SIGINT. Should quarnel-netns end, it ends too, with status 1:
// it gave up the right to start another, and systemd starts both again. It never writes its rules
// file; it keeps a copy of the last one it accepted at acceptedPath (none when empty), whose rules
// a start that finds the file unusable or gone puts in force.
class Service {
public:
    Service(std::string rulesPath, std::string acceptedPath, bool ownNamespaceOnly = false);

    // Until a stop signal; the exit status: 0 after a stop, 1 when it could not start guarding.
    int Run();

private:
    using Clock = std::chrono::steady_clock;
    enum class Trigger { Start, Signal, FileChange };

    // The privileges and the table; false (after saying why) when it cannot guard.
    bool Start();
    // Before the privileges go: quarnel-netns, unless kept to its own namespace (or it cannot
    // start: then said once). False when the right to enter namespaces could not be given up.
    bool StartNetns();
    // What the table of every namespace has to tell, into the log.
    void TellNamespaces();
    // Whether quarnel-netns ended: then netnsEnded_ says how.
    bool NetnsEnded();
    // Reads the rules file; applies it when it is good, else keeps the rules in force (at start:
    // those last accepted, else the defaults). False only at start, when the system kept it
    // from reading the file (out of descriptors, say): it does not guard with rules it guessed.
    bool Reload(Trigger trigger);
    // Puts a good reading's rules in force.
    void Apply(const RulesReading& reading);
    // At start, when the file is not used: the rules last accepted, else the defaults; what
    // the log says of them.
    std::string FallBack();
    // Until the table changes, a signal or a change of the rules file comes, a reload is due, or
    // a pass is due all the same; false once a stop signal came.
    bool Wait();
    // Follows the file's folder again once it is back after it went; says when it goes and
    // comes back.
    void FollowFolder(bool watched);
    // "guarding N connections, M closed" for systemd, when it changed, once a second at most.
    void UpdateStatus(bool now);
    // A line of a kind the journal's catalog explains: to the journal with its MESSAGE_ID and
    // the rules file's path, else (or when the journal does not take it) to the log.
    void Tell(const std::string& line, ActionLog::Priority priority, JournalMessage message);
    std::string Status() const;
    // What the bus tells of it.
    GuardFacts Facts() const;
    // Offers Facts on the system bus, or tries again every 10 seconds while it cannot (said
    // once); answers those who asked.
    void ServeBus();

    std::string rulesPath_;
    bool ownNamespaceOnly_;        // told on the command line
    bool ownOnlyInForce_ = false;  // as it started: the rules file's setting counts at start only
    platform::UserNames users_;    // before the log, which names owners' users through it
    platform::DescriptorOutput standardOutput_;
    JournalSend journal_;  // under systemd only, where the output is the journal's
    Watchdog watchdog_;
    ActionLog log_;
    ServiceSignals signals_;
    RulesWatch watch_;
    platform::TcpTableSelection table_;
    platform::LinuxHostAddressSource hosts_;
    RuleValues rules_;
    AcceptedRules accepted_;
    HeadlessWindow window_;
    std::unique_ptr<platform::NamespaceOpener> netns_;  // until the table takes it over
    platform::UniqueFd netnsEnd_;  // quarnel-netns's pidfd: readable once it ended
    pid_t netnsPid_ = 0;
    std::string netnsEnded_;                                 // how it ended, once it did
    platform::AllNamespacesTcpTable* namespaces_ = nullptr;  // within table_, when guarding all
    std::unique_ptr<Engine> theEngine_;
    ReloadDelay reload_;                        // a change of the file seen, read once quiet
    std::optional<Clock::time_point> rearmAt_;  // the folder went: when to look for it again
    std::string lastReload_;                    // what the latest reload said
    std::string lastVersion_;                   // of the file the latest reload read
    std::string lastStatus_;
    Clock::time_point nextStatus_{};
    NamespaceChurn churn_;         // namespaces guarded and gone, summed under churn
    CloseRecords records_{100};    // the latest closes and the counts by rule entry, for the bus
    std::string rulesFrom_;        // where the rules in force came from
    std::uint64_t startedAt_ = 0;  // microseconds since 1970
    std::uint32_t ownNamespace_ = 0;
    std::unique_ptr<GuardBus> bus_;
    std::optional<Clock::time_point> busRetryAt_;  // when to try the bus again; none at start
    std::string busProblem_;                       // the last said, so it is said once
};

}  // namespace quarnel
