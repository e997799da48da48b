#include "platform/linux/helper/CloseAudit.h"

#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/RuleEntry.h"

#if QUARNEL_SYSTEMD
// No CODE_FILE= and CODE_LINE=: the build tree's paths say nothing to an administrator.
#define SD_JOURNAL_SUPPRESS_LOCATION
#include <systemd/sd-journal.h>

#include <sys/uio.h>
#endif

namespace quarnel::platform {

namespace {

// As quarneld writes an end: a.b.c.d:port for IPv4 (on a dual-stack socket too),
// [address]:port for IPv6.
std::string Endpoint(const IpAddress& address, std::int32_t port) {
    const std::string text = CanonicalAddressText(address);
    return (IsIPv4Mapped(address) ? text : "[" + text + "]") + ":" + std::to_string(port);
}

std::string UserName(std::uint32_t uid) {
    const long suggested = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::string buffer(suggested > 0 ? static_cast<std::size_t>(suggested) : 16384, '\0');
    passwd entry{};
    passwd* found = nullptr;
    const int error = ::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found);
    return error == 0 && found != nullptr ? found->pw_name : std::to_string(uid);
}

}  // namespace

bool RequesterOf(int socket, Requester& requester, std::string& problem) {
    ucred credentials{};
    socklen_t size = sizeof credentials;
    if (::getsockopt(socket, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0) {
        problem = std::strerror(errno);
        return false;
    }
    requester = {credentials.uid, credentials.pid, UserName(credentials.uid)};
    return true;
}

std::vector<std::string> CloseAuditFields(const TcpRow& row, const Requester& requester) {
    const bool ipv4 = IsIPv4Mapped(row.LocalAddress) && IsIPv4Mapped(row.RemoteAddress);
    const std::string local = Endpoint(row.LocalAddress, row.LocalPort);
    const std::string remote = Endpoint(row.RemoteAddress, row.RemotePort);
    const std::string uid = std::to_string(requester.Uid);
    const std::string pid = std::to_string(requester.Pid);
    return {
        "MESSAGE=closed " + std::string(ipv4 ? "IPv4 " : "IPv6 ") + local + " -> " + remote +
            " at the request of " + requester.Name + " (uid " + uid + ", pid " + pid + ")",
        "PRIORITY=5",
        // Made once with "systemd-id128 new"; quarneld's catalog explains it.
        "MESSAGE_ID=791490d90f664ab9a4de19bf7681fc69",
        "SYSLOG_IDENTIFIER=quarnel-helper",
        std::string("QUARNEL_FAMILY=") + (ipv4 ? "IPv4" : "IPv6"),
        "QUARNEL_LOCAL=" + local,
        "QUARNEL_REMOTE=" + remote,
        "QUARNEL_REQUESTER_UID=" + uid,
        "QUARNEL_REQUESTER_USER=" + requester.Name,
        "QUARNEL_REQUESTER_PID=" + pid,
    };
}

bool SendToJournal(const std::vector<std::string>& fields) {
#if QUARNEL_SYSTEMD
    std::vector<iovec> parts;
    parts.reserve(fields.size());
    for (const std::string& field : fields) {
        // sendv only reads what it is given.
        parts.push_back({const_cast<char*>(field.data()), field.size()});
    }
    return ::sd_journal_sendv(parts.data(), static_cast<int>(parts.size())) >= 0;
#else
    (void)fields;
    return false;
#endif
}

}  // namespace quarnel::platform
