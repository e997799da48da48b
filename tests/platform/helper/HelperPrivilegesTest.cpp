// What the real quarnel-helper keeps of the privileges it is started with, and that the right it
// keeps closes connections only: each in a private network namespace.

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/linux/HelperChannel.h"
#include "platform/linux/HelperPrivileges.h"
#include "platform/linux/HelperProcess.h"
#include "tests/platform/TableRows.h"
#include "tests/support/PrivateNetwork.h"
#include "tests/support/Sockets.h"
#include "tests/support/WaitUntil.h"

namespace quarnel::platform {
namespace {

using namespace quarnel::testsupport;
using namespace std::chrono_literals;

// One field of /proc/PID/status ("CapEff", "NoNewPrivs", ...); empty when absent.
std::string ProcessStatus(pid_t pid, const std::string& field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with(field + ":\t")) {
            return line.substr(field.size() + 2);
        }
    }
    return {};
}

std::uint64_t CapabilitySet(pid_t pid, const std::string& field) {
    return std::stoull(ProcessStatus(pid, field), nullptr, 16);
}

// The built helper, started as the program starts it, with its stderr in log when given, and
// done with its start (it answered); how it keeps the table in polling.
struct Helper {
    explicit Helper(int log = -1) {
        const UniqueFd savedStderr(log >= 0 ? ::dup(STDERR_FILENO) : -1);
        EXPECT_TRUE(log < 0 || (savedStderr && ::dup2(log, STDERR_FILENO) == STDERR_FILENO));
        std::string problem;
        process = HelperProcess::Start(QUARNEL_HELPER_PATH, problem);
        EXPECT_TRUE(log < 0 || ::dup2(savedStderr.Get(), STDERR_FILENO) == STDERR_FILENO);
        EXPECT_TRUE(process) << problem;
        if (process) {
            channel = std::make_unique<HelperChannel>(process->Socket(), 10s);
            EXPECT_TRUE(channel->Watch(polling)) << channel->Problem();
        }
    }
    explicit operator bool() const { return channel != nullptr; }

    std::unique_ptr<HelperProcess> process;
    std::unique_ptr<HelperChannel> channel;
    PollingCause polling;
};

TEST(HelperPrivileges, AHelperGivenMoreKeepsOnlyTheRightToCloseConnections) {
    RunInPrivateNetwork([] {
        // More than it needs: every capability of this (namespace) root inheritable, and some
        // ambient, which survive exec.
        CapabilitySets sets;
        ASSERT_TRUE(ReadCapabilities(sets));
        sets.Inheritable = sets.Permitted;
        ASSERT_TRUE(WriteCapabilities(sets));
        for (const int capability : {CAP_SYS_ADMIN, CAP_NET_RAW, CAP_NET_ADMIN}) {
            ASSERT_EQ(::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_RAISE, capability, 0, 0), 0)
                << std::strerror(errno);
        }
        ASSERT_NE(sets.Effective & CapabilityBit(CAP_SETPCAP), 0u) << "it may cut its bounding set";

        const Helper helper;
        ASSERT_TRUE(helper);
        // Whether the kernel program was attached or refused, CAP_BPF and CAP_PERFMON are gone.
        const pid_t pid = helper.process->Pid();
        EXPECT_EQ(CapabilitySet(pid, "CapPrm"), kServingCapabilities);
        EXPECT_EQ(CapabilitySet(pid, "CapEff"), kServingCapabilities);
        EXPECT_EQ(CapabilitySet(pid, "CapInh"), 0u);
        EXPECT_EQ(CapabilitySet(pid, "CapAmb"), 0u);
        EXPECT_EQ(CapabilitySet(pid, "CapBnd"), kStartCapabilities);
        EXPECT_EQ(ProcessStatus(pid, "NoNewPrivs"), "1");
    });
}

// Whether pid holds a kernel program: one it attached, not merely loaded and let go.
bool HoldsKernelProgram(pid_t pid) {
    const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    for (const auto& fd : std::filesystem::directory_iterator(fds)) {
        std::error_code gone;
        if (std::filesystem::read_symlink(fd.path(), gone) == "anon_inode:bpf_link") {
            return true;
        }
    }
    return false;
}

TEST(HelperPrivileges, WithoutCapBpfItStillHearsOfNewConnectionsAndClosesThem) {
    RunInPrivateNetwork([] {
        const Helper helper;
        ASSERT_TRUE(helper);
        if (helper.polling.Why != PollingCause::Kind::None) {
            GTEST_SKIP() << "the kernel program cannot be attached here, the helper polls: "
                         << helper.polling.Text();
        }
        const pid_t pid = helper.process->Pid();
        EXPECT_TRUE(HoldsKernelProgram(pid));
        EXPECT_EQ(CapabilitySet(pid, "CapPrm"), kServingCapabilities);
        EXPECT_EQ(CapabilitySet(pid, "CapEff"), kServingCapabilities);

        // Its reports are read without the rights that attached the program.
        std::vector<TcpRow> rows;
        ReadResult result = ReadResult::Failed;
        ASSERT_TRUE(helper.channel->ReadTableIfChanged(rows, result));
        const Loopback loop{};
        ASSERT_TRUE(loop.c.server);
        EXPECT_TRUE(WaitUntil([&] {
            bool changed = false;
            return helper.channel->TakeChange(changed) && changed;
        })) << "not told of the new connection";
        ASSERT_TRUE(helper.channel->ReadTableIfChanged(rows, result));
        const std::optional<TcpRow> row = loop.RowIn(rows);
        ASSERT_TRUE(row) << "the new connection is not in the table";
        bool closed = false;
        ASSERT_TRUE(helper.channel->Close(*row, closed)) << helper.channel->Problem();
        EXPECT_TRUE(closed);
        EXPECT_EQ(ReceiveError(loop.c.client.Get()), ECONNABORTED);
    });
}

std::string ReadAll(int fd) {
    std::string text;
    char buffer[4096];
    ssize_t got;
    (void)::lseek(fd, 0, SEEK_SET);  // a memfd: cannot fail
    while ((got = ::read(fd, buffer, sizeof buffer)) > 0) {
        text.append(buffer, static_cast<std::size_t>(got));
    }
    return text;
}

TEST(HelperPrivileges, AListenerIsNeverClosedAConnectionIs) {
    RunInPrivateNetwork([] {
        const UniqueFd log(::memfd_create("helper-log", MFD_CLOEXEC));
        ASSERT_TRUE(log);
        const Helper helper(log.Get());
        auto table = OpenTable();
        ASSERT_TRUE(helper && table);

        // The kernel finds a listener also by a name with any remote end, as long as the cookie
        // is the listener's.
        const auto withRemote = [](TcpRow row) {
            row.RemoteAddress = RawIPv4("127.0.0.9");
            row.RemotePort = 4242;
            return row;
        };
        const struct {
            const char* name;
            Listener listener;
            bool anyRemote = false;
        } cases[] = {
            {"127.0.0.1", ListenIPv4("127.0.0.1")},
            {"0.0.0.0", ListenIPv4("0.0.0.0")},
            {"[::], taking IPv4 too", ListenIPv6Any()},
            {"127.0.0.1, named with a remote end", ListenIPv4("127.0.0.1"), true},
        };
        std::uint32_t sequence = 1;  // the watch
        std::string expectedLog;
        for (const auto& c : cases) {
            SCOPED_TRACE(c.name);
            ASSERT_TRUE(c.listener.fd);
            std::optional<TcpRow> row = RowWithPorts(ReadRows(*table), c.listener.port, 0);
            ASSERT_TRUE(row && row->State == 2) << "no listener row";
            bool closed = true;
            EXPECT_FALSE(helper.channel->Close(c.anyRemote ? withRemote(*row) : *row, closed));
            EXPECT_EQ(helper.channel->Problem(), "refused the request (malformed)");
            EXPECT_FALSE(closed);
            expectedLog += "quarnel-helper: refused request " + std::to_string(++sequence) +
                           " (40 bytes): names a listener, not a connection\n";
            const Connection client = Connect(c.listener);
            EXPECT_TRUE(client.server) << "the listener no longer accepts";
        }

        const Loopback loop{};
        ASSERT_TRUE(loop.c.server);
        const std::optional<TcpRow> row = loop.RowIn(ReadRows(*table));
        ASSERT_TRUE(row);
        bool closed = false;
        ASSERT_TRUE(helper.channel->Close(*row, closed)) << helper.channel->Problem();
        EXPECT_TRUE(closed);
        EXPECT_EQ(ReceiveError(loop.c.client.Get()), ECONNABORTED);
        ASSERT_TRUE(helper.channel->Close(*row, closed)) << "a connection that is gone";
        EXPECT_FALSE(closed);
        EXPECT_TRUE(Connect(loop.listener).server) << "its listener was closed with it";
        EXPECT_EQ(ReadAll(log.Get()), expectedLog);
    });
}

}  // namespace
}  // namespace quarnel::platform
