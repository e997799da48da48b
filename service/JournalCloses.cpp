#include "service/JournalCloses.h"

#if QUARNEL_SYSTEMD
#include <syslog.h>
#include <systemd/sd-journal.h>

#include <sys/uio.h>

#include <string>
#include <vector>

#include "engine/AddressText.h"
#endif

namespace quarnel {

#if QUARNEL_SYSTEMD
namespace {

std::string Endpoint(const platform::IpAddress& address, std::int32_t port) {
    return CanonicalAddressText(address) + ":" + std::to_string(port);
}

}  // namespace

ActionLog::CloseSink JournalCloses(NamespaceNameOf namespaceName) {
    return [namespaceName = std::move(namespaceName)](const platform::TcpRow& row, Verdict verdict,
                                                      const platform::ConnectionOwner& owner,
                                                      const std::string& line) {
        const bool local = verdict == Verdict::BlockedByLocalPort;
        std::vector<std::string> fields = {
            "MESSAGE=" + line,
            "PRIORITY=" + std::to_string(LOG_INFO),
            "SYSLOG_IDENTIFIER=quarneld",
            std::string("QUARNEL_RULE=") + (local ? "local-port" : "remote-port"),
            "QUARNEL_PORT=" + std::to_string(local ? row.LocalPort : row.RemotePort),
            std::string("QUARNEL_FAMILY=") +
                (row.Family == platform::SocketFamily::IPv6 ? "IPv6" : "IPv4"),
            "QUARNEL_LOCAL=" + Endpoint(row.LocalAddress, row.LocalPort),
            "QUARNEL_REMOTE=" + Endpoint(row.RemoteAddress, row.RemotePort),
        };
        // The owner's fields only where it is known, so that a search by them never finds a
        // connection nobody could name.
        if (owner.Known()) {
            fields.push_back("QUARNEL_PID=" + std::to_string(owner.Pid));
            fields.push_back("QUARNEL_COMMAND=" + std::string(owner.CommandText()));
            fields.push_back("QUARNEL_UID=" + std::to_string(owner.Uid));
        }
        if (row.Namespace != 0) {
            fields.push_back("QUARNEL_NETNS=" +
                             (namespaceName ? namespaceName(row.Namespace)
                                            : "net:[" + std::to_string(row.Namespace) + "]"));
        }
        std::vector<iovec> parts;
        parts.reserve(fields.size());
        for (std::string& field : fields) {
            parts.push_back({field.data(), field.size()});
        }
        // A journal that cannot take it leaves the line to standard output.
        return ::sd_journal_sendv(parts.data(), static_cast<int>(parts.size())) >= 0;
    };
}
#else
ActionLog::CloseSink JournalCloses(NamespaceNameOf /*namespaceName*/) {
    return {};
}
#endif

}  // namespace quarnel
