// The real quarnel-helper, started as the program starts it, in a private network namespace:
// what it refuses, what it keeps of its privileges and when it ends.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>

#include "platform/linux/HelperChannel.h"
#include "platform/linux/HelperPrivileges.h"
#include "platform/linux/HelperProcess.h"
#include "platform/linux/HelperProtocol.h"
#include "tests/platform/TableRows.h"
#include "tests/platform/helper/HelperTestSupport.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/PrivateNetwork.h"
#include "tests/support/Sockets.h"
#include "tests/support/WaitUntil.h"

namespace quarnel::platform {
namespace {

using namespace quarnel::testsupport;
using namespace std::chrono_literals;

std::unique_ptr<HelperProcess> StartHelper() {
    std::string problem;
    auto helper = HelperProcess::Start(kBuiltHelper, problem);
    EXPECT_TRUE(helper) << problem;
    return helper;
}

// Sends one raw message, with a descriptor attached when attach is not -1.
void SendRaw(int socket, const std::vector<std::uint8_t>& bytes, int attach = -1) {
    iovec part{const_cast<std::uint8_t*>(bytes.data()), bytes.size()};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    if (attach >= 0) {
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        cmsghdr* header = CMSG_FIRSTHDR(&message);
        header->cmsg_level = SOL_SOCKET;
        header->cmsg_type = SCM_RIGHTS;
        header->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(header), &attach, sizeof attach);
    }
    ASSERT_EQ(::sendmsg(socket, &message, MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()))
        << std::strerror(errno);
}

// The next reply, waiting a generous while: a slow machine is no fault here.
Reply ReceiveReply(int socket) {
    pollfd ready{socket, POLLIN, 0};
    EXPECT_EQ(::poll(&ready, 1, 10000), 1) << "no answer";
    std::array<std::uint8_t, kMaxReplySize> bytes{};
    const ssize_t length = ::recv(socket, bytes.data(), bytes.size(), MSG_DONTWAIT);
    Reply reply;
    std::vector<TcpRow> rows;
    EXPECT_GT(length, 0) << std::strerror(errno);
    EXPECT_TRUE(length > 0 && DecodeReply(std::span(bytes.data(), static_cast<std::size_t>(length)),
                                          static_cast<std::size_t>(length), reply, rows));
    return reply;
}

std::vector<std::uint8_t> RequestFor(RequestKind kind, std::uint32_t sequence,
                                     const TcpRow& row = {}) {
    RequestBytes bytes;
    EXPECT_TRUE(EncodeRequest({kind, sequence, row}, bytes));
    return {bytes.begin(), bytes.end()};
}

std::string ReadAll(int fd) {
    std::string text;
    char buffer[4096];
    ssize_t got;
    (void)::lseek(fd, 0, SEEK_SET);
    while ((got = ::read(fd, buffer, sizeof buffer)) > 0) {
        text.append(buffer, static_cast<std::size_t>(got));
    }
    return text;
}

TEST(HelperBinary, RefusesAndLogsBadRequestsWithoutActingAndKeepsServing) {
    RunInPrivateNetwork([] {
        // The helper logs to the stderr it inherits: a file here.
        const UniqueFd log(::memfd_create("helper-log", MFD_CLOEXEC));
        const UniqueFd savedStderr(::dup(STDERR_FILENO));
        ASSERT_TRUE(log && savedStderr);
        ASSERT_EQ(::dup2(log.Get(), STDERR_FILENO), STDERR_FILENO);
        auto helper = StartHelper();
        ASSERT_EQ(::dup2(savedStderr.Get(), STDERR_FILENO), STDERR_FILENO);
        ASSERT_TRUE(helper);
        const int socket = helper->Socket();

        const Loopback loop = OpenLoopback();
        ASSERT_TRUE(loop.c.server);
        const Connection& c = loop.c;
        auto table = OpenTable();
        ASSERT_TRUE(table);
        const std::optional<TcpRow> row = loop.RowIn(ReadRows(*table));
        ASSERT_TRUE(row);

        const auto close = [&](std::uint32_t sequence) {
            return RequestFor(RequestKind::CloseConnection, sequence, *row);
        };
        const auto as = [](std::vector<std::uint8_t> bytes, std::size_t at, std::uint8_t value,
                           std::size_t count = 1) {
            std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>(at), count, value);
            return bytes;
        };
        const UniqueFd attached(::open("/dev/null", O_RDONLY | O_CLOEXEC));
        const struct {
            const char* name;
            std::vector<std::uint8_t> bytes;
            Refusal reason;
            std::uint32_t sequence;
            int attach = -1;
        } cases[] = {
            {"empty", {}, Refusal::Truncated, 0},
            {"4 KiB",
             [&] {
                 auto b = RequestFor(RequestKind::ReadTable, 104);
                 b.resize(4096);
                 return b;
             }(),
             Refusal::Oversized, 104},
            {"version 2", as(RequestFor(RequestKind::ReadTable, 105), 0, 2), Refusal::WrongVersion,
             105},
            {"close with a protocol byte", as(close(107), 33, 17), Refusal::Malformed, 107},
            {"close that skips the cookie check", as(close(108), 8, 0xff, 8), Refusal::Malformed,
             108},
            {"close with a descriptor attached", close(109), Refusal::Malformed, 109,
             attached.Get()},
        };
        for (const auto& bad : cases) {
            SendRaw(socket, bad.bytes, bad.attach);
            const Reply refused = ReceiveReply(socket);
            EXPECT_EQ(refused.Kind, ReplyKind::Refused) << bad.name;
            EXPECT_EQ(refused.Reason, bad.reason) << bad.name;
            EXPECT_EQ(refused.Sequence, bad.sequence) << bad.name;
            EXPECT_TRUE(StillCarries(c)) << bad.name << " was acted on";

            SendRaw(socket, RequestFor(RequestKind::CanCloseConnections, 200));
            const Reply answer = ReceiveReply(socket);
            EXPECT_EQ(answer.Kind, ReplyKind::Ability) << "no service after " << bad.name;
            EXPECT_EQ(answer.Ability, CloseAbility::Allowed) << "after " << bad.name;
        }

        SendRaw(socket, close(300));
        const Reply closed = ReceiveReply(socket);
        EXPECT_EQ(closed.Kind, ReplyKind::Closed);
        EXPECT_TRUE(closed.Closed);
        EXPECT_EQ(ReceiveError(c.client.Get()), ECONNABORTED) << "the sound close closes it";

        const std::string logged = ReadAll(log.Get());
        for (const auto& bad : cases) {
            const std::string line =
                "quarnel-helper: refused request " + std::to_string(bad.sequence) + " (" +
                std::to_string(bad.bytes.size()) + " bytes): " + RefusalName(bad.reason) + "\n";
            EXPECT_NE(logged.find(line), std::string::npos) << line << "not in:\n" << logged;
        }
    });
}

std::vector<std::string> OpenDescriptors(pid_t pid) {
    std::vector<std::string> names;
    for (const auto& entry :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
        names.push_back(entry.path().filename());
    }
    return names;
}

TEST(HelperBinary, KeepsOnlyItsCapabilitiesAndItsSocketWhateverItInherits) {
    RunInPrivateNetwork([] {
        // Give it more than it needs: ambient capabilities, which survive exec, and a
        // descriptor without close-on-exec.
        CapabilitySets sets;
        ASSERT_TRUE(ReadCapabilities(sets));
        sets.Inheritable = sets.Permitted;
        ASSERT_TRUE(WriteCapabilities(sets));
        for (const int capability : {CAP_SYS_ADMIN, CAP_NET_RAW, CAP_NET_ADMIN}) {
            ASSERT_EQ(::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_RAISE, capability, 0, 0), 0)
                << std::strerror(errno);
        }
        const UniqueFd leaked(::open("/dev/null", O_RDONLY));
        ASSERT_TRUE(leaked);

        auto helper = StartHelper();
        ASSERT_TRUE(helper);
        HelperChannel channel(helper->Socket(), 10s);
        CloseAbility ability;
        ASSERT_TRUE(channel.Ask(ability)) << channel.Problem();  // done with its start by now
        EXPECT_EQ(ability, CloseAbility::Allowed);

        const pid_t pid = helper->Pid();
        const std::uint64_t kept =
            CapabilityBit(CAP_NET_ADMIN) | CapabilityBit(CAP_BPF) | CapabilityBit(CAP_PERFMON);
        EXPECT_EQ(ProcessCapabilities(pid, "CapPrm"), kept);
        EXPECT_EQ(ProcessCapabilities(pid, "CapEff"), kept);
        EXPECT_EQ(ProcessCapabilities(pid, "CapBnd"), kept);
        EXPECT_EQ(ProcessCapabilities(pid, "CapInh"), 0u);
        EXPECT_EQ(ProcessCapabilities(pid, "CapAmb"), 0u);
        EXPECT_EQ(ProcessStatus(pid, "NoNewPrivs"), "1");
        for (const char* field : {"CapInh", "CapPrm", "CapEff", "CapBnd", "CapAmb"}) {
            std::cout << "helper started by root: " << field << " " << ProcessStatus(pid, field)
                      << "\n";
        }

        // Besides its standard streams and its socket, only what it opened itself: the table's
        // netlink sockets, and the kernel program with its maps, ring buffer and timer.
        const std::string fds = "/proc/" + std::to_string(pid) + "/fd/";
        int devNull = 0;
        for (const std::string& fd : OpenDescriptors(pid)) {
            const std::string target = std::filesystem::read_symlink(fds + fd);
            devNull += target == "/dev/null";
            if (std::stoi(fd) > kHelperSocketFd) {
                EXPECT_TRUE(target.starts_with("socket:") || target.starts_with("anon_inode:"))
                    << fd << " -> " << target;
            }
        }
        EXPECT_EQ(std::filesystem::read_symlink(fds + "0"), "/dev/null");
        EXPECT_EQ(std::filesystem::read_symlink(fds + "1"), "/dev/null");
        EXPECT_EQ(devNull, 2) << "the descriptor left open across exec is still there";
        EXPECT_TRUE(std::filesystem::exists(fds + "3"));
    });
}

TEST(HelperBinary, EndsWhenTheConversationEnds) {
    RunInPrivateNetwork([] {
        auto helper = StartHelper();
        ASSERT_TRUE(helper);
        ASSERT_EQ(::shutdown(helper->Socket(), SHUT_RDWR), 0);
        EXPECT_TRUE(WaitUntil([&] { return ProcessState(helper->Pid()) == 'Z'; }));
        EXPECT_EQ(helper->Stop(), "exited with status 0");
    });
}

TEST(HelperBinary, EndsWhenItsProgramEnds) {
    RunInPrivateNetwork([] {
        int ends[2];
        ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
        UniqueFd read(ends[0]);
        UniqueFd write(ends[1]);
        const pid_t program = ::fork();
        ASSERT_GE(program, 0);
        if (program == 0) {
            std::string problem;
            auto helper = HelperProcess::Start(kBuiltHelper, problem);
            CloseAbility ability;
            HelperChannel channel(helper ? helper->Socket() : -1, 10s);
            pid_t pid = helper && channel.Ask(ability) ? helper->Pid() : 0;
            (void)!::write(write.Get(), &pid, sizeof pid);
            ::_exit(0);  // without stopping the helper
        }
        write.Reset();
        pid_t helper = 0;
        EXPECT_EQ(::read(read.Get(), &helper, sizeof helper), static_cast<ssize_t>(sizeof helper));
        int status = 0;
        ASSERT_EQ(::waitpid(program, &status, 0), program);
        ASSERT_GT(helper, 0) << "the helper did not start";
        EXPECT_TRUE(WaitUntil([&] {
            const char state = ProcessState(helper);
            return state == 0 || state == 'Z';
        })) << "the helper outlived its program";
    });
}

// Starts the helper with what prepare leaves on descriptor 3 (prepare runs in the child);
// how it ended.
int ExitStatusWith(const std::function<void()>& prepare) {
    const pid_t child = ::fork();
    if (child == 0) {
        prepare();
        char name[] = "quarnel-helper";
        char* const argv[] = {name, nullptr};
        char* const environment[] = {nullptr};
        ::execve(kBuiltHelper, argv, environment);
        ::_exit(126);
    }
    int status = 0;
    EXPECT_EQ(::waitpid(child, &status, 0), child);
    return status;
}

void PutPair(int type) {
    int ends[2];
    if (::socketpair(AF_UNIX, type, 0, ends) != 0 || ::dup2(ends[1], 3) != 3) {
        ::_exit(125);
    }
}

// Goes on in a child; this process ends with the child's exit status.
void ForkAndPassOnStatus() {
    const pid_t child = ::fork();
    if (child != 0) {
        int status = 0;
        (void)::waitpid(child, &status, 0);
        ::_exit(WIFEXITED(status) ? WEXITSTATUS(status) : 124);
    }
}

TEST(HelperBinary, RefusesToStartWithoutAConversationWithItsParent) {
    RunInPrivateNetwork([] {
        const struct {
            const char* name;
            std::function<void()> prepare;
        } cases[] = {
            {"nothing on descriptor 3", [] { (void)::close(3); }},
            {"a pipe",
             [] {
                 int ends[2];
                 if (::pipe(ends) != 0 || ::dup2(ends[0], 3) != 3) {
                     ::_exit(125);
                 }
             }},
            {"a stream socket", [] { PutPair(SOCK_STREAM); }},
            {"a datagram socket", [] { PutPair(SOCK_DGRAM); }},
            {"a socketpair its parent did not make",
             [] {
                 PutPair(SOCK_SEQPACKET);
                 // Its maker's child starts it: the helper's parent is another process.
                 ForkAndPassOnStatus();
                 ForkAndPassOnStatus();
             }},
        };
        for (const auto& c : cases) {
            const int status = ExitStatusWith(c.prepare);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1)
                << c.name << ": wait status " << status;
        }
    });
}

}  // namespace
}  // namespace quarnel::platform
