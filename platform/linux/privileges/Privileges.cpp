#include "platform/linux/privileges/Privileges.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

namespace quarnel::platform {

namespace {

bool Fail(std::string& problem, const std::string& what) {
    problem = what + ": " + std::strerror(errno);
    return false;
}

bool IsOpen(int fd) {
    return ::fcntl(fd, F_GETFD) >= 0;
}

// Closes every descriptor from first on, one by one, where close_range is missing.
void CloseFrom(int first) {
    const long limit = ::sysconf(_SC_OPEN_MAX);
    for (long fd = first; fd < limit; ++fd) {
        // Most of these are not open; a failed close leaves nothing behind either way.
        (void)::close(static_cast<int>(fd));
    }
}

}  // namespace

bool CheckHelperSocket(int fd, std::string& problem) {
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        return Fail(problem, "descriptor " + std::to_string(fd));
    }
    int domain = 0;
    int type = 0;
    socklen_t length = sizeof domain;
    if (!S_ISSOCK(status.st_mode) ||
        ::getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &length) != 0 ||
        (length = sizeof type, ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length)) != 0 ||
        domain != AF_UNIX || type != SOCK_SEQPACKET) {
        problem = "descriptor " + std::to_string(fd) + " is no AF_UNIX SOCK_SEQPACKET socket";
        return false;
    }
    sockaddr_storage peer{};
    socklen_t peerLength = sizeof peer;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0) {
        return Fail(problem, "descriptor " + std::to_string(fd) + " is not connected");
    }
    return true;
}

bool IsolateDescriptors(int keepFd, std::string& problem) {
    const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null < 0) {
        return Fail(problem, "/dev/null");
    }
    const bool stderrOpen = IsOpen(STDERR_FILENO);
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if ((fd != STDERR_FILENO || !stderrOpen) && fd != null && ::dup2(null, fd) < 0) {
            return Fail(problem, "dup2 /dev/null");
        }
    }
    if (null > STDERR_FILENO && null != keepFd) {
        (void)::close(null);  // closed with the rest below if this fails
    }
    if (::close_range(static_cast<unsigned>(keepFd) + 1, ~0u, 0) != 0) {
        CloseFrom(keepFd + 1);  // kernels before 5.9
    }
    return true;
}

bool TieToParent(int socketFd, std::string& problem) {
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0) != 0) {
        return Fail(problem, "PR_SET_PDEATHSIG");
    }
    // socketpair records who made the pair: the program, which then started this process.
    ucred maker{};
    socklen_t length = sizeof maker;
    if (::getsockopt(socketFd, SOL_SOCKET, SO_PEERCRED, &maker, &length) != 0) {
        return Fail(problem, "SO_PEERCRED");
    }
    if (::getppid() != maker.pid) {
        problem = "the program that started it (process " + std::to_string(maker.pid) +
                  ") is not its parent any more";
        return false;
    }
    return true;
}

bool ReadCapabilities(CapabilitySets& sets) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
    if (::syscall(SYS_capget, &header, data) != 0) {
        return false;
    }
    const auto join = [&data](std::uint32_t __user_cap_data_struct::*field) {
        return std::uint64_t{data[1].*field} << 32 | data[0].*field;
    };
    sets.Effective = join(&__user_cap_data_struct::effective);
    sets.Permitted = join(&__user_cap_data_struct::permitted);
    sets.Inheritable = join(&__user_cap_data_struct::inheritable);
    return true;
}

bool WriteCapabilities(const CapabilitySets& sets) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
    for (int i = 0; i < _LINUX_CAPABILITY_U32S_3; ++i) {
        const int shift = 32 * i;
        data[i].effective = static_cast<std::uint32_t>(sets.Effective >> shift);
        data[i].permitted = static_cast<std::uint32_t>(sets.Permitted >> shift);
        data[i].inheritable = static_cast<std::uint32_t>(sets.Inheritable >> shift);
    }
    return ::syscall(SYS_capset, &header, data) == 0;
}

bool DropPrivileges(std::uint64_t& kept, std::string& problem, std::uint64_t keep) {
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
        return Fail(problem, "PR_SET_NO_NEW_PRIVS");
    }
    if (::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) != 0 && errno != EINVAL) {
        return Fail(problem, "PR_CAP_AMBIENT_CLEAR_ALL");  // EINVAL: a kernel without ambient
    }
    CapabilitySets sets;
    if (!ReadCapabilities(sets)) {
        return Fail(problem, "capget");
    }
    if ((sets.Effective & CapabilityBit(CAP_SETPCAP)) != 0) {
        // PR_CAPBSET_READ fails with EINVAL past the last capability this kernel knows.
        for (int capability = 0; ::prctl(PR_CAPBSET_READ, capability, 0, 0, 0) >= 0; ++capability) {
            if ((keep & CapabilityBit(capability)) == 0 &&
                ::prctl(PR_CAPBSET_DROP, capability, 0, 0, 0) != 0) {
                return Fail(problem, "PR_CAPBSET_DROP " + std::to_string(capability));
            }
        }
    }
    return NarrowCapabilities(keep, kept, problem);
}

bool NarrowCapabilities(std::uint64_t keep, std::uint64_t& kept, std::string& problem) {
    CapabilitySets sets;
    if (!ReadCapabilities(sets)) {
        return Fail(problem, "capget");
    }
    const CapabilitySets wanted{sets.Permitted & keep, sets.Permitted & keep, 0};
    if (!WriteCapabilities(wanted)) {
        return Fail(problem, "capset");
    }
    CapabilitySets now;
    if (!ReadCapabilities(now)) {
        return Fail(problem, "capget");
    }
    if (now.Permitted != wanted.Permitted || now.Effective != wanted.Effective ||
        now.Inheritable != 0) {
        problem = "the capability sets did not change as asked";
        return false;
    }
    kept = now.Permitted;
    return true;
}

}  // namespace quarnel::platform
