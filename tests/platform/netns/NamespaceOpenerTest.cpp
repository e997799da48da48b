// The real quarnel-netns, as root, in the test's private network namespace and cgroup, beside
// network namespaces the test makes: what it keeps of its privileges, what it lists, the socket it
// opens inside one of them, and what it refuses.

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "platform/linux/filter/CgroupRoot.h"
#include "platform/linux/netns/NamespaceOpener.h"
#include "platform/linux/netns/NamespaceRights.h"
#include "platform/linux/privileges/Privileges.h"
#include "platform/linux/privileges/RequestSocket.h"
#include "tests/support/OtherNamespace.h"
#include "tests/support/PrivateNetwork.h"
#include "tests/support/ProgramCopy.h"

namespace quarnel::platform {
namespace {

using namespace quarnel::testsupport;

const std::string kBuiltNetns = QUARNEL_NETNS_PATH;
constexpr const char* kNeedsRoot =
    "entering namespaces and a cgroup of the test's own need real root";

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

// Hides /proc/PID of process under a tmpfs made to look like it, in a mount namespace of the
// calling test's own, as /proc looks to a program whose mount namespace someone else arranged:
// its cgroup file names the test's root cgroup, and its ns/net is a plain file, with an inode of
// its own that a request may name. That inode.
std::uint64_t Disguise(const std::string& process) {
    const std::string proc = "/proc/" + process;
    EXPECT_EQ(::unshare(CLONE_NEWNS), 0) << std::strerror(errno);
    EXPECT_EQ(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
    EXPECT_EQ(::mount("tmpfs", proc.c_str(), "tmpfs", 0, nullptr), 0) << std::strerror(errno);
    std::filesystem::create_directory(proc + "/ns");
    std::ofstream(proc + "/cgroup") << "0::/\n";
    std::ofstream(proc + "/ns/net").flush();
    return NamespaceInode(process);
}

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

// Started as the service will start it, by a user of its own with capabilities alone, which then
// gives up what only quarnel-netns may keep: the three namespaces the test's cgroups hold are
// listed, the test's own flagged. (Its sockets opened inside them are read and closed through
// by AllNamespacesInTheKernel and ServiceAsRoot.GuardsEveryNetworkNamespaceItSees.)
TEST(NamespaceOpener, ListsTheNamespacesOfItsCgroupsAndKeepsWhatTheServiceGivesUp) {
    // Started by the service's user, which may not enter the build tree.
    const ProgramCopy netns(kBuiltNetns);
    ASSERT_FALSE(netns.Path().empty()) << netns.Problem();
    if (!netns.Unrunnable().empty()) {
        GTEST_SKIP() << netns.Unrunnable();
    }
    RunInPrivateNetworkAsRoot(kNeedsRoot, [&netns] {
        const OtherNamespace first, second;
        const std::string inner = FindCgroup2Root() + "/inner";
        ASSERT_TRUE(::mkdir(inner.c_str(), 0755) == 0 || errno == EEXIST) << std::strerror(errno);
        std::ofstream(inner + "/cgroup.procs") << second.pid << std::flush;
        const std::uint64_t ownInode = NamespaceInode("self");
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
            {first.Inode, false, "/", first.pid},
            {second.Inode, false, "/inner", second.pid}};
        std::ranges::sort(expected);
        EXPECT_EQ(found, expected);
        // Serving by now, with what it started with given up.
        const std::string netns = std::to_string(opener->Pid());
        EXPECT_EQ(StatusField(netns, "CapPrm"), kKept);
        EXPECT_EQ(StatusField(netns, "CapEff"), kKept);
        EXPECT_EQ(StatusField(netns, "CapInh"), 0u);
        EXPECT_EQ(StatusField(netns, "CapAmb"), 0u);
        EXPECT_EQ(StatusField(netns, "NoNewPrivs"), 1u);
    });
}

// Every refusal is answered with its reason, and quarnel-netns serves on.
TEST(NamespaceOpener, RefusesWhatItMayNotOpenAndServesOn) {
    RunInPrivateNetworkAsRoot(kNeedsRoot, [] {
        const OtherNamespace child;
        const pid_t gone = ::fork();
        if (gone == 0) {
            ::_exit(0);
        }
        ASSERT_EQ(::waitpid(gone, nullptr, 0), gone);
        const OtherNamespace disguised;
        const std::string hidden = std::to_string(disguised.pid);
        const std::uint64_t plainInode = Disguise(hidden);
        ASSERT_NE(plainInode, 0u);
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
            {"an unknown kind", open(child.pid, child.Inode, 3), UnknownKind},
            {"an empty message", {}, Truncated},
            {"a short message", {list.begin(), list.end() - 1}, Truncated},
            {"a long message", longer, Oversized},
            {"a descriptor along", list, Malformed, true},
            {"another version", otherVersion, WrongVersion},
            {"pid 0", open(0, child.Inode), Malformed},
            {"a negative pid", open(-1, child.Inode), Malformed},
            {"another namespace's inode", open(child.pid, ownInode), Own::OtherNamespace},
            {"a process gone", open(gone, ownInode), Own::NoProcess},
            {"a process outside its cgroups", open(1, ownInode), Own::OutsideCgroups},
            // The inode alone names no namespace: its file must be one, on the device of
            // namespaces, or it is never entered.
            {"a plain file of the inode asked for", open(disguised.pid, plainInode),
             Own::OtherNamespace},
        };
        RequestSocket conversation(opener->Socket(), kMaxNamespaceReplySize);
        const UniqueFd along(::open("/dev/null", O_RDONLY | O_CLOEXEC));
        for (const auto& [what, bytes, reason, descriptorAlong] : cases) {
            SCOPED_TRACE(what);
            ASSERT_TRUE(conversation.Send(bytes, descriptorAlong ? along.Get() : -1));
            pollfd ready{opener->Socket(), POLLIN, 0};
            ASSERT_EQ(::poll(&ready, 1, 5000), 1) << "no answer";
            const std::optional<RequestSocket::Message> answer = conversation.Receive();
            ASSERT_TRUE(answer);
            NamespaceReply reply;
            std::vector<NetworkNamespace> entries;
            ASSERT_TRUE(DecodeNamespaceReply(answer->Bytes, answer->Length, reply, entries));
            EXPECT_EQ(reply.Kind, NamespaceReplyKind::Refused);
            EXPECT_EQ(reply.Reason, reason) << NamespaceRefusalText(reply.Reason);
        }
        ASSERT_EQ(::umount2(("/proc/" + hidden).c_str(), MNT_DETACH), 0) << std::strerror(errno);
        EXPECT_FALSE(opener->OpenSockDiag(gone, ownInode, problem));
        EXPECT_EQ(problem,
                  "quarnel-netns refused: the process is gone (No such file or directory)");
        std::vector<NetworkNamespace> namespaces;
        EXPECT_TRUE(opener->ListNamespaces(namespaces, problem)) << problem;
        EXPECT_EQ(namespaces.size(), 3u) << "its own, the child's and the disguised process's";
    });
}

}  // namespace
}  // namespace quarnel::platform
