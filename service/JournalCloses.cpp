#include "service/JournalCloses.h"

#include <utility>

#if QUARNEL_SYSTEMD
// No CODE_FILE= and CODE_LINE=: the build tree's paths say nothing to an administrator.
#define SD_JOURNAL_SUPPRESS_LOCATION
#include <systemd/sd-journal.h>

#include <sys/uio.h>
#endif

namespace quarnel {

JournalSend SystemJournal() {
#if QUARNEL_SYSTEMD
    return [](const JournalFields& fields) {
        std::vector<iovec> parts;
        parts.reserve(fields.size());
        for (const std::string& field : fields) {
            // sendv only reads what it is given.
            parts.push_back({const_cast<char*>(field.data()), field.size()});
        }
        return ::sd_journal_sendv(parts.data(), static_cast<int>(parts.size())) >= 0;
    };
#else
    return {};
#endif
}

std::string_view MessageId(JournalMessage message) {
    // Made once with "systemd-id128 new"; the catalog explains them under these numbers.
    switch (message) {
        case JournalMessage::Closed:
            return "516fe618cbbf4fa39ae2698ddbf43398";
        case JournalMessage::Missed:
            return "cfe63cc623934840a6dcc0b5170a4427";
        case JournalMessage::RulesInForce:
            return "b9b1d41f45f94f2488b064812d171a3a";
        case JournalMessage::RulesRefused:
            return "c39b86511ced421199d230208876ec79";
        case JournalMessage::FallBack:
            return "f8797795e2d9456ca363dcf75155fbdf";
        case JournalMessage::Stalled:
            return "50a3353629c341b0b63eb1eb17df8772";
    }
    return {};
}

JournalFields LineFields(std::string_view line, ActionLog::Priority priority,
                         JournalMessage message) {
    return {
        "MESSAGE=" + std::string(line),
        "PRIORITY=" + std::to_string(static_cast<int>(priority)),
        "MESSAGE_ID=" + std::string(MessageId(message)),
        "SYSLOG_IDENTIFIER=quarneld",
    };
}

JournalFields ConnectionFields(const platform::TcpRow& row, Verdict verdict,
                               const platform::ConnectionOwner& owner, const std::string& line,
                               JournalMessage message, const NamespaceNameOf& namespaceName,
                               const ContainerOfNamespace& containerOf) {
    const bool local = IsLocalRule(verdict);
    JournalFields fields =
        LineFields(line,
                   message == JournalMessage::Missed ? ActionLog::Priority::Warning
                                                     : ActionLog::Priority::Info,
                   message);
    fields.push_back(std::string("QUARNEL_RULE=") + (local ? "local-port" : "remote-port"));
    fields.push_back("QUARNEL_PORT=" + std::to_string(PortJudged(row, verdict)));
    fields.push_back("QUARNEL_FAMILY=" + std::string(FamilyText(row)));
    fields.push_back("QUARNEL_LOCAL=" + EndpointText(row.LocalAddress, row.LocalPort));
    fields.push_back("QUARNEL_REMOTE=" + EndpointText(row.RemoteAddress, row.RemotePort));
    // The owner's fields only where it is known, so that a search by them never finds a
    // connection nobody could name.
    if (owner.Known()) {
        fields.push_back("QUARNEL_PID=" + std::to_string(owner.Pid));
        fields.push_back("QUARNEL_COMMAND=" + std::string(owner.CommandText()));
        fields.push_back("QUARNEL_UID=" + std::to_string(owner.Uid));
    }
    if (row.Namespace != 0) {
        fields.push_back("QUARNEL_NETNS=" + (namespaceName
                                                 ? namespaceName(row.Namespace)
                                                 : "net:[" + std::to_string(row.Namespace) + "]"));
        if (const std::optional<platform::Container> container =
                containerOf ? containerOf(row.Namespace) : std::nullopt) {
            fields.push_back("QUARNEL_CONTAINER=" + container->Id);
            fields.push_back("QUARNEL_RUNTIME=" + container->Runtime);
            if (!container->Pod.empty()) {
                fields.push_back("QUARNEL_POD=" + container->Pod);
            }
        }
    }
    return fields;
}

ActionLog::CloseSink JournalCloses(JournalSend send, JournalMessage message,
                                   NamespaceNameOf namespaceName,
                                   ContainerOfNamespace containerOf) {
    if (!send) {
        return {};
    }
    // A journal that cannot take it leaves the line to standard output.
    return [send = std::move(send), message, namespaceName = std::move(namespaceName),
            containerOf = std::move(containerOf)](const platform::TcpRow& row, Verdict verdict,
                                                  const platform::ConnectionOwner& owner,
                                                  const std::string& line) {
        return send(
            ConnectionFields(row, verdict, owner, line, message, namespaceName, containerOf));
    };
}

}  // namespace quarnel
