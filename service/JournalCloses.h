#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/ActionLog.h"
#include "platform/linux/namespaces/NamespaceNames.h"

namespace quarnel {

// A journal entry: "NAME=value" each, MESSAGE first.
using JournalFields = std::vector<std::string>;
// Hands an entry to a journal; whether it took it.
using JournalSend = std::function<bool(const JournalFields& fields)>;
// The system journal, through its own protocol (sd_journal_sendv); empty where built without
// libsystemd.
JournalSend SystemJournal();

// The kinds of line an administrator looks for, each with a MESSAGE_ID of its own that the
// catalog (service/quarneld.catalog) explains to "journalctl -x".
enum class JournalMessage {
    Closed,        // a connection closed
    Missed,        // a blocked connection that ended before it could be closed
    RulesInForce,  // a rules file read and put in force (start, reload)
    RulesRefused,  // a rules file not used: the rules in force stay
    FallBack,      // a start without a usable rules file: the last accepted ones, or the defaults
    Stalled,       // systemd's watchdog ended a run whose loop had stalled
};
std::string_view MessageId(JournalMessage message);

// A line of the log as an entry: its text, priority, MESSAGE_ID and SYSLOG_IDENTIFIER=quarneld.
JournalFields LineFields(std::string_view line, ActionLog::Priority priority,
                         JournalMessage message);

// The entry of a close (or a miss), with fields to search by: QUARNEL_RULE (local-port or
// remote-port), QUARNEL_PORT (the blocked port), QUARNEL_FAMILY, QUARNEL_LOCAL and
// QUARNEL_REMOTE (written as the line writes them: 192.0.2.5:80, [2001:db8::5]:80), so that
// "journalctl -u quarnel QUARNEL_PORT=25" finds them; the owner's QUARNEL_PID, QUARNEL_COMMAND
// and QUARNEL_UID where known; one of another network namespace has QUARNEL_NETNS too, its name
// as namespaceName gives it, and where containerOf knows it for a container,
// QUARNEL_CONTAINER (its id or name), QUARNEL_RUNTIME (podman, docker, containerd, cri-o, lxc,
// nspawn) and QUARNEL_POD (a Kubernetes pod's uid).
using ContainerOfNamespace = std::function<std::optional<platform::Container>(std::uint32_t)>;
JournalFields ConnectionFields(const platform::TcpRow& row, Verdict verdict,
                               const platform::ConnectionOwner& owner, const std::string& line,
                               JournalMessage message, const NamespaceNameOf& namespaceName = {},
                               const ContainerOfNamespace& containerOf = {});

// A sink of the log's close (or miss) lines that sends them to the journal with their fields.
ActionLog::CloseSink JournalCloses(JournalSend send, JournalMessage message,
                                   NamespaceNameOf namespaceName = {},
                                   ContainerOfNamespace containerOf = {});

}  // namespace quarnel
