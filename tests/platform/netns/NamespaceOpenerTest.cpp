// The real quarnel-netns, as root, in the test's private network namespace and cgroup, beside
// network namespaces the test makes: what it keeps of its privileges, what it lists, the socket it
// opens inside one of them, and what it refuses.

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <linux/netlink.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>

#include "platform/linux/filter/CgroupRoot.h"
#include "platform/linux/netns/NamespaceOpener.h"
#include "platform/linux/netns/NamespaceRights.h"
#include "platform/linux/privileges/Privileges.h"
#include "platform/linux/sockdiag/SockDiagMessages.h"
#include "tests/support/PrivateNetwork.h"
#include "tests/support/ProgramCopy.h"
#include "tests/support/Sockets.h"

namespace quarnel::platform {
namespace {

using namespace quarnel::testsupport;

const std::string kBuiltNetns = QUARNEL_NETNS_PATH;

std::uint64_t NamespaceInode(const std::string& process) {
    struct stat status {};
    return ::stat(("/proc/" + process + "/ns/net").c_str(), &status) == 0 ? status.st_ino : 0;
}

// One field of /proc/PID/status ("CapEff", "NoNewPrivs", ...) as a hexadecimal number.
std::uint64_t StatusField(const std::string& process, const std::string& field) {
    std::ifstream status("/proc/" + process + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with(field + ":\t")) {
            return std::stoull(line.substr(field.size() + 2), nullptr, 16);
        }
    }
    ADD_FAILURE() << "no " << field << " for " << process;
    return 0;
}

// A child process in a network namespace of its own with lo up and a listener on
// 127.0.0.1:port, optionally moved into a cgroup below the test's first. It ends when dropped,
// once its pipe closes: a test that is root no more may not signal it.
struct NamespacedChild {
    explicit NamespacedChild(std::uint16_t port, const std::string& cgroup = {}) {
        int ready[2], end[2];
        EXPECT_EQ(::pipe2(ready, O_CLOEXEC), 0);
        EXPECT_EQ(::pipe2(end, O_CLOEXEC), 0);
        const UniqueFd readEnd(ready[0]), writeEnd(ready[1]), endRead(end[0]);
        endWrite.Reset(end[1]);
        std::fflush(nullptr);
        pid = ::fork();
        if (pid == 0) {
            (void)::prctl(PR_SET_PDEATHSIG, SIGKILL);
            endWrite.Reset();
            const char ok = Listen(port) ? 1 : 0;
            (void)!::write(writeEnd.Get(), &ok, 1);
            char none = 0;
            (void)!::read(endRead.Get(), &none, 1);
            ::_exit(0);
        }
        char ok = 0;
        EXPECT_EQ(::read(readEnd.Get(), &ok, 1), 1);
        EXPECT_EQ(ok, 1) << "the child has no namespace or listener of its own";
        inode = NamespaceInode(std::to_string(pid));
        if (!cgroup.empty()) {
            const std::string dir = FindCgroup2Root() + cgroup;
            EXPECT_TRUE(::mkdir(dir.c_str(), 0755) == 0 || errno == EEXIST) << std::strerror(errno);
            std::ofstream(dir + "/cgroup.procs") << pid << std::flush;
        }
    }
    ~NamespacedChild() {
        endWrite.Reset();
        if (pid > 0) {
            (void)::waitpid(pid, nullptr, 0);
        }
    }

    // In the child: only system calls, no test framework.
    static bool Listen(std::uint16_t port) {
        if (::unshare(CLONE_NEWNET) != 0) {
            return false;
        }
        const int control = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ifreq request{};
        std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
        if (control < 0 || ::ioctl(control, SIOCGIFFLAGS, &request) != 0 ||
            (request.ifr_flags |= IFF_UP, ::ioctl(control, SIOCSIFFLAGS, &request)) != 0) {
            return false;
        }
        const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return listener >= 0 &&
               ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
               ::listen(listener, 1) == 0;
    }

    UniqueFd endWrite;
    pid_t pid = -1;
    std::uint64_t inode = 0;
};

// A process whose /proc directory is hidden under a folder made to look like one: its cgroup
// file names the test's root cgroup, and its ns/net is a plain file, with an inode of its own
// that a request may name. As /proc looks to a program whose mount namespace someone else
// arranged. Mounted in a mount namespace of the calling test's own.
struct DisguisedProcess {
    DisguisedProcess() {
        std::fflush(nullptr);
        pid = ::fork();
        if (pid == 0) {
            (void)::prctl(PR_SET_PDEATHSIG, SIGKILL);
            ::pause();
            ::_exit(0);
        }
        const std::filesystem::path fake = folder / "pid";
        std::filesystem::create_directories(fake / "ns");
        std::ofstream(fake / "cgroup") << "0::/\n";
        std::ofstream(fake / "ns" / "net").flush();
        struct stat file {};
        EXPECT_EQ(::stat((fake / "ns" / "net").c_str(), &file), 0);
        inode = file.st_ino;
        EXPECT_EQ(::unshare(CLONE_NEWNS), 0) << std::strerror(errno);
        EXPECT_EQ(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
        mounted = ::mount(fake.c_str(), ("/proc/" + std::to_string(pid)).c_str(), nullptr, MS_BIND,
                          nullptr) == 0;
        EXPECT_TRUE(mounted) << std::strerror(errno);
    }
    ~DisguisedProcess() {
        Unmount();
        (void)::kill(pid, SIGKILL);
        (void)::waitpid(pid, nullptr, 0);
        std::filesystem::remove_all(folder);
    }
    void Unmount() {
        if (mounted) {
            EXPECT_EQ(::umount2(("/proc/" + std::to_string(pid)).c_str(), MNT_DETACH), 0);
            mounted = false;
        }
    }

    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("quarnel-proc-" + std::to_string(::getpid()));
    pid_t pid = -1;
    std::uint64_t inode = 0;
    bool mounted = false;
};

// Becomes what the service runs as: a user of its own (nobody here) with capabilities alone,
// permitted and effective, as its unit gives them, and no_new_privs.
void BecomeServiceUser(std::uint64_t capabilities) {
    constexpr uid_t kNobody = 65534;
    ASSERT_EQ(::prctl(PR_SET_KEEPCAPS, 1, 0, 0, 0), 0);
    ASSERT_EQ(::setgroups(0, nullptr), 0);
    ASSERT_EQ(::setresgid(kNobody, kNobody, kNobody), 0);
    ASSERT_EQ(::setresuid(kNobody, kNobody, kNobody), 0);
    ASSERT_TRUE(WriteCapabilities({capabilities, capabilities, 0}));
    ASSERT_EQ(::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0), 0);
}

// The local ports of the IPv4 TCP listeners a dump through the sock_diag socket fd finds.
std::set<int> ListenerPorts(int fd) {
    alignas(nlmsghdr) std::uint8_t request[kDiagRequestSize];
    const nlmsghdr* message = PutFamilyDumpRequest(request, AF_INET, 1, 1u << linux_tcp::kListen);
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    EXPECT_EQ(::sendto(fd, message, message->nlmsg_len, 0, reinterpret_cast<sockaddr*>(&kernel),
                       sizeof kernel),
              static_cast<ssize_t>(message->nlmsg_len))
        << std::strerror(errno);
    std::set<int> ports;
    alignas(nlmsghdr) std::uint8_t buffer[32768];
    for (;;) {
        pollfd ready{fd, POLLIN, 0};
        if (::poll(&ready, 1, 5000) != 1) {
            ADD_FAILURE() << "the dump did not end";
            return ports;
        }
        const ssize_t length = ::recv(fd, buffer, sizeof buffer, 0);
        if (length <= 0) {
            ADD_FAILURE() << "recv: " << std::strerror(errno);
            return ports;
        }
        int left = static_cast<int>(length);
        for (auto* part = reinterpret_cast<const nlmsghdr*>(buffer); NLMSG_OK(part, left);
             part = NLMSG_NEXT(part, left)) {
            if (part->nlmsg_type == NLMSG_DONE || part->nlmsg_type == NLMSG_ERROR) {
                EXPECT_EQ(part->nlmsg_type, NLMSG_DONE);
                return ports;
            }
            TcpRow row;
            if (DecodeTcpRow(*part, row) == DecodeResult::Row) {
                ports.insert(row.LocalPort);
            }
        }
    }
}

// Started as the service will start it, by a user of its own with capabilities alone, which then
// gives up what only quarnel-netns may keep: the three namespaces the test's cgroups hold are
// listed, the test's own flagged, and a socket opened inside one (a root process's) sees that
// namespace's listener alone.
TEST(NamespaceOpener, ListsTheNamespacesOfItsCgroupsAndOpensSockDiagInsideOne) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "entering namespaces and a cgroup of the test's own need real root";
    }
    // Started by the service's user, which may not enter the build tree.
    const ProgramCopy netns(kBuiltNetns);
    ASSERT_FALSE(netns.Path().empty()) << netns.Problem();
    if (!netns.Unrunnable().empty()) {
        GTEST_SKIP() << netns.Unrunnable();
    }
    RunInPrivateNetwork([&netns] {
        const Listener own = ListenIPv4("127.0.0.1", 4003);
        const NamespacedChild first(4001), second(4002, "/inner");
        const std::uint64_t ownInode = NamespaceInode("self");
        ASSERT_TRUE(own.fd && first.inode != 0 && second.inode != 0);
        constexpr std::uint64_t kGiven =
            CapabilityBit(CAP_SYS_ADMIN) | CapabilityBit(CAP_SYS_PTRACE);
        constexpr std::uint64_t kKept = kGiven | CapabilityBit(CAP_NET_ADMIN);
        BecomeServiceUser(kKept | CapabilityBit(CAP_BPF));
        std::string problem;
        const auto opener = NamespaceOpener::Start(netns.Path(), problem);
        ASSERT_TRUE(opener) << problem;

        ASSERT_TRUE(GiveUpNamespaceRights(problem)) << problem;
        // The bounding set keeps them without CAP_SETPCAP; no_new_privs keeps them out of reach.
        for (const char* set : {"CapPrm", "CapEff", "CapInh", "CapAmb"}) {
            EXPECT_EQ(StatusField("self", set) & kGiven, 0u) << set;
        }
        EXPECT_EQ(StatusField("self", "NoNewPrivs"), 1u);
        EXPECT_NE(::unshare(CLONE_NEWNET), 0) << "the test may still make namespaces";
        std::vector<NetworkNamespace> namespaces;
        ASSERT_TRUE(opener->ListNamespaces(namespaces, problem)) << problem;
        // Each with the one process in it, or one of the test's and quarnel-netns.
        std::vector<std::tuple<std::uint64_t, bool, std::string, pid_t>> found;
        for (const NetworkNamespace& space : namespaces) {
            const bool ours = space.Pid == ::getpid() || space.Pid == opener->Pid();
            found.emplace_back(space.Inode, space.Own, space.Cgroup, ours ? 0 : space.Pid);
        }
        std::ranges::sort(found);
        std::vector<std::tuple<std::uint64_t, bool, std::string, pid_t>> expected{
            {ownInode, true, "/", 0},
            {first.inode, false, "/", first.pid},
            {second.inode, false, "/inner", second.pid}};
        std::ranges::sort(expected);
        EXPECT_EQ(found, expected);
        // Serving by now, with what it started with given up.
        const std::string netns = std::to_string(opener->Pid());
        EXPECT_EQ(StatusField(netns, "CapPrm"), kKept);
        EXPECT_EQ(StatusField(netns, "CapEff"), kKept);
        EXPECT_EQ(StatusField(netns, "CapInh"), 0u);
        EXPECT_EQ(StatusField(netns, "CapAmb"), 0u);
        EXPECT_EQ(StatusField(netns, "NoNewPrivs"), 1u);

        const UniqueFd diag = opener->OpenSockDiag(first.pid, first.inode, problem);
        ASSERT_TRUE(diag) << problem;
        EXPECT_EQ(ListenerPorts(diag.Get()), std::set<int>{4001});
    });
}

// Every refusal is answered with its reason, and quarnel-netns serves on.
TEST(NamespaceOpener, RefusesWhatItMayNotOpenAndServesOn) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "entering namespaces and a cgroup of the test's own need real root";
    }
    RunInPrivateNetwork([] {
        const NamespacedChild child(4001);
        const pid_t gone = ::fork();
        if (gone == 0) {
            ::_exit(0);
        }
        ASSERT_EQ(::waitpid(gone, nullptr, 0), gone);
        DisguisedProcess disguised;
        ASSERT_TRUE(disguised.mounted);
        std::string problem;
        const auto opener = NamespaceOpener::Start(kBuiltNetns, problem);
        ASSERT_TRUE(opener) << problem;
        const std::uint64_t ownInode = NamespaceInode("self");

        const auto open = [](pid_t pid, std::uint64_t inode, std::uint16_t kind = 2) {
            NamespaceRequestBytes bytes;
            EncodeNamespaceRequest({static_cast<NamespaceRequestKind>(kind), 7, pid, inode}, bytes);
            return std::vector<std::uint8_t>(bytes.begin(), bytes.end());
        };
        std::vector<std::uint8_t> list = open(0, 0, 1), otherVersion = list, longer = list;
        otherVersion[0] = 2;
        longer.push_back(0);
        using enum Refusal;
        using Own = NamespaceRefusal;
        const struct {
            const char* what;
            std::vector<std::uint8_t> bytes;
            Refusal reason;
            bool descriptorAlong = false;
        } cases[] = {
            {"an unknown kind", open(child.pid, child.inode, 3), UnknownKind},
            {"an empty message", {}, Truncated},
            {"a short message", {list.begin(), list.end() - 1}, Truncated},
            {"a long message", longer, Oversized},
            {"a descriptor along", list, Malformed, true},
            {"another version", otherVersion, WrongVersion},
            {"pid 0", open(0, child.inode), Malformed},
            {"a negative pid", open(-1, child.inode), Malformed},
            {"another namespace's inode", open(child.pid, ownInode), Own::OtherNamespace},
            {"a process gone", open(gone, ownInode), Own::NoProcess},
            {"a process outside its cgroups", open(1, ownInode), Own::OutsideCgroups},
            // The inode alone names no namespace: its file must be one, on the device of
            // namespaces, or it is never entered.
            {"a plain file of the inode asked for", open(disguised.pid, disguised.inode),
             Own::OtherNamespace},
        };
        for (const auto& [what, bytes, reason, descriptorAlong] : cases) {
            iovec part{const_cast<std::uint8_t*>(bytes.data()), bytes.size()};
            msghdr message{};
            message.msg_iov = &part;
            message.msg_iovlen = 1;
            const UniqueFd along(::open("/dev/null", O_RDONLY | O_CLOEXEC));
            alignas(cmsghdr) std::array<char, CMSG_SPACE(sizeof(int))> control{};
            if (descriptorAlong) {
                message.msg_control = control.data();
                message.msg_controllen = control.size();
                cmsghdr* header = CMSG_FIRSTHDR(&message);
                *header = {CMSG_LEN(sizeof(int)), SOL_SOCKET, SCM_RIGHTS};
                const int fd = along.Get();
                std::memcpy(CMSG_DATA(header), &fd, sizeof fd);
            }
            ASSERT_EQ(::sendmsg(opener->Socket(), &message, 0), static_cast<ssize_t>(bytes.size()))
                << what;
            pollfd ready{opener->Socket(), POLLIN, 0};
            ASSERT_EQ(::poll(&ready, 1, 5000), 1) << what << ": no answer";
            std::array<std::uint8_t, kMaxNamespaceReplySize> buffer{};
            const ssize_t length = ::recv(opener->Socket(), buffer.data(), buffer.size(), 0);
            ASSERT_GT(length, 0) << what;
            NamespaceReply reply;
            std::vector<NetworkNamespace> entries;
            ASSERT_TRUE(DecodeNamespaceReply(std::span(buffer).first(length),
                                             static_cast<std::size_t>(length), reply, entries))
                << what;
            EXPECT_EQ(reply.Kind, NamespaceReplyKind::Refused) << what;
            EXPECT_EQ(reply.Reason, reason) << what << ": " << NamespaceRefusalText(reply.Reason);
        }
        disguised.Unmount();
        EXPECT_FALSE(opener->OpenSockDiag(gone, ownInode, problem));
        EXPECT_EQ(problem,
                  "quarnel-netns refused: the process is gone (No such file or directory)");
        std::vector<NetworkNamespace> namespaces;
        EXPECT_TRUE(opener->ListNamespaces(namespaces, problem)) << problem;
        EXPECT_EQ(namespaces.size(), 2u);
    });
}

}  // namespace
}  // namespace quarnel::platform
