#include "service/JournalCloses.h"

#if QUARNEL_SYSTEMD
#include <syslog.h>
#include <systemd/sd-journal.h>

#include <string>

#include "engine/AddressText.h"
#endif

namespace quarnel {

#if QUARNEL_SYSTEMD
namespace {

std::string Endpoint(const platform::IpAddress& address, std::int32_t port) {
    return CanonicalAddressText(address) + ":" + std::to_string(port);
}

}  // namespace

ActionLog::CloseSink JournalCloses() {
    return [](const platform::TcpRow& row, Verdict verdict, const std::string& line) {
        const bool local = verdict == Verdict::BlockedByLocalPort;
        const std::string port = std::to_string(local ? row.LocalPort : row.RemotePort);
        const std::string localEnd = Endpoint(row.LocalAddress, row.LocalPort);
        const std::string remoteEnd = Endpoint(row.RemoteAddress, row.RemotePort);
        // A journal that cannot take it leaves the line to standard output.
        return ::sd_journal_send("MESSAGE=%s", line.c_str(), "PRIORITY=%d", LOG_INFO,
                                 "SYSLOG_IDENTIFIER=quarneld", "QUARNEL_RULE=%s",
                                 local ? "local-port" : "remote-port", "QUARNEL_PORT=%s",
                                 port.c_str(), "QUARNEL_FAMILY=%s",
                                 row.Family == platform::SocketFamily::IPv6 ? "IPv6" : "IPv4",
                                 "QUARNEL_LOCAL=%s", localEnd.c_str(), "QUARNEL_REMOTE=%s",
                                 remoteEnd.c_str(), nullptr) >= 0;
    };
}
#else
ActionLog::CloseSink JournalCloses() {
    return {};
}
#endif

}  // namespace quarnel
