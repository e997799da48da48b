#include "tests/platform/helper/HelperTestSupport.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>
#include <utility>

#include "tests/platform/TableRows.h"

namespace quarnel::platform {

std::string ProcessStatus(pid_t pid, const std::string& field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.starts_with(field + ":")) {
            const std::size_t value = line.find_first_not_of(" \t", field.size() + 1);
            return value == std::string::npos ? std::string() : line.substr(value);
        }
    }
    return {};
}

std::uint64_t ProcessCapabilities(pid_t pid, const std::string& field) {
    return std::stoull(ProcessStatus(pid, field), nullptr, 16);
}

char ProcessState(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // The name in parentheses may hold anything; the state follows the last ')'.
    const std::size_t end = text.rfind(')');
    return end == std::string::npos || end + 2 >= text.size() ? 0 : text[end + 2];
}

std::optional<TcpRow> Loopback::RowIn(const std::vector<TcpRow>& rows) const {
    return RowWithPorts(rows, c.clientPort, listener.port);
}

Loopback OpenLoopback() {
    Loopback loop;
    loop.listener = testsupport::ListenIPv4();
    if (loop.listener.fd) {
        loop.c = testsupport::Connect(loop.listener);
    }
    return loop;
}

int ReceiveError(int fd) {
    char byte;
    return ::recv(fd, &byte, 1, MSG_DONTWAIT) < 0 ? errno : 0;
}

bool StillCarries(const testsupport::Connection& c) {
    for (const auto& [from, to] :
         {std::pair{c.client.Get(), c.server.Get()}, std::pair{c.server.Get(), c.client.Get()}}) {
        char byte = 'q';
        if (::send(from, &byte, 1, MSG_NOSIGNAL) != 1 || ::recv(to, &byte, 1, 0) != 1) {
            return false;
        }
    }
    return true;
}

bool IsRealRoot() {
    std::ifstream map("/proc/self/uid_map");
    std::uint64_t inside = 1, outside = 1, count = 0;
    map >> inside >> outside >> count;
    return ::geteuid() == 0 && inside == 0 && outside == 0 && count == 4294967295u;
}

}  // namespace quarnel::platform
