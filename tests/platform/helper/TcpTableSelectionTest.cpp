// Which table the program works with, in a private network namespace: its own when it may
// close, the helper's when only the helper may, reading alone when neither may. The helper's
// case runs for real: a helper with the file capability, a program without any capability.

#include <gtest/gtest.h>
#include <linux/securebits.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "platform/linux/HelperPrivileges.h"
#include "platform/linux/HelperTcpTable.h"
#include "platform/linux/LinuxTcpTable.h"
#include "platform/linux/TcpTableSelection.h"
#include "tests/platform/TableRows.h"
#include "tests/platform/helper/HelperTestSupport.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/PrivateNetwork.h"
#include "tests/support/Sockets.h"

namespace quarnel::platform {
namespace {

using namespace quarnel::testsupport;

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// Leaves this process without power over the network namespace it is in: root of a user
// namespace of its own, which does not own that network.
void LoseTheNetwork() {
    if (::unshare(CLONE_NEWUSER) != 0) {
        GTEST_SKIP() << "no user namespace: " << std::strerror(errno);
    }
}

TEST(TcpTableSelection, ThisProcessClosesWhenItMay) {
    RunInPrivateNetwork([] {
        TcpTableSelection selection = OpenTcpTableSource(kBuiltHelper);
        EXPECT_EQ(selection.Mode, TableMode::InProcess);
        EXPECT_EQ(selection.Ability, CloseAbility::Allowed);
        EXPECT_EQ(dynamic_cast<HelperTcpTable*>(selection.Source.get()), nullptr)
            << "the helper is not started when it is not needed";
        EXPECT_TRUE(Contains(DescribeTcpTableSelection(selection), "closes connections itself"));
        int status;
        EXPECT_EQ(::waitpid(-1, &status, WNOHANG), -1) << "a helper was started";
    });
}

TEST(TcpTableSelection, ReadsAloneWithoutAHelperThatMayClose) {
    RunInPrivateNetwork([] {
        const Loopback loop = OpenLoopback();
        ASSERT_TRUE(loop.c.server);
        const Connection& c = loop.c;
        const std::string missing = "/nonexistent/quarnel-helper";
        const struct {
            const char* name;
            std::string helper;
            std::string problem;  // what the user is told about the helper
        } cases[] = {
            {"no helper installed", "", "its helper quarnel-helper is not installed"},
            {"helper missing", missing, "cannot run " + missing + ": No such file or directory"},
            {"helper without the right", kBuiltHelper,
             "its helper " + std::string(kBuiltHelper) +
                 " cannot close them either: it lacks the right to close connections"},
        };
        for (const auto& param : cases) {
            RunInChildProcess([&] {
                LoseTheNetwork();
                TcpTableSelection selection = OpenTcpTableSource(param.helper);
                EXPECT_EQ(selection.Mode, TableMode::ReadOnly) << param.name;
                EXPECT_EQ(selection.Ability, CloseAbility::NoPermission) << param.name;
                ASSERT_TRUE(selection.Source) << param.name;
                EXPECT_EQ(selection.Source->CanCloseConnections(), CloseAbility::NoPermission);
                const std::optional<TcpRow> row = loop.RowIn(ReadRows(*selection.Source));
                ASSERT_TRUE(row) << param.name << ": connections are still listed";
                EXPECT_FALSE(selection.Source->CloseConnection(*row));

                const std::string told = DescribeTcpTableSelection(selection);
                EXPECT_TRUE(Contains(told, "only shows connections")) << told;
                EXPECT_TRUE(Contains(told, param.problem)) << told;
                EXPECT_TRUE(Contains(told, "sudo usermod -aG quarnel $USER")) << told;
                int status;
                EXPECT_EQ(::waitpid(-1, &status, WNOHANG), -1) << "a helper was left behind";
            });
            EXPECT_TRUE(StillCarries(c)) << param.name;
        }
    });
}

// Gives the file at path the capability CAP_NET_ADMIN, effective and permitted, as
// `setcap cap_net_admin+ep` does.
bool GrantNetAdmin(const std::string& path) {
    vfs_cap_data data{};
    data.magic_etc = VFS_CAP_REVISION_2 | VFS_CAP_FLAGS_EFFECTIVE;
    data.data[0].permitted = 1u << CAP_NET_ADMIN;
    return ::setxattr(path.c_str(), "security.capability", &data, XATTR_CAPS_SZ_2, 0) == 0;
}

// Leaves this root process without any capability, for good: neither root's user id nor a
// set-user-id program gives any back, only a program's file capabilities can.
void DropEveryCapability() {
    ASSERT_EQ(
        ::prctl(PR_SET_SECUREBITS, SECBIT_NOROOT | SECBIT_NOROOT_LOCKED | SECBIT_NO_SETUID_FIXUP |
                                       SECBIT_NO_SETUID_FIXUP_LOCKED),
        0)
        << std::strerror(errno);
    ASSERT_EQ(::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0), 0);
    ASSERT_TRUE(WriteCapabilities({}));
    ASSERT_EQ(ProcessStatus(::getpid(), "CapEff"), "0000000000000000");
    ASSERT_EQ(ProcessStatus(::getpid(), "CapPrm"), "0000000000000000");
}

TEST(TcpTableSelection, TheHelperClosesForAProgramWithoutAnyCapability) {
    if (!IsRealRoot()) {
        GTEST_SKIP() << "file capabilities and securebits need root of the machine itself";
    }
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("quarnel-helper-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    const std::string helper = (folder / "quarnel-helper").string();
    std::filesystem::copy_file(kBuiltHelper, helper,
                               std::filesystem::copy_options::overwrite_existing);
    ASSERT_TRUE(GrantNetAdmin(helper)) << std::strerror(errno);

    RunInPrivateNetwork([&] {
        const Loopback loop = OpenLoopback();
        ASSERT_TRUE(loop.c.server);
        const Connection& c = loop.c;
        DropEveryCapability();

        auto own = OpenTable();
        ASSERT_TRUE(own);
        EXPECT_EQ(own->CanCloseConnections(), CloseAbility::NoPermission);
        const std::optional<TcpRow> row = loop.RowIn(ReadRows(*own));
        ASSERT_TRUE(row);
        EXPECT_FALSE(own->CloseConnection(*row)) << "this process itself cannot close it";
        EXPECT_TRUE(StillCarries(c));

        TcpTableSelection selection = OpenTcpTableSource(helper);
        EXPECT_EQ(selection.Mode, TableMode::Helper) << selection.HelperProblem;
        EXPECT_EQ(selection.Ability, CloseAbility::Allowed);
        auto* table = dynamic_cast<HelperTcpTable*>(selection.Source.get());
        ASSERT_NE(table, nullptr);
        EXPECT_TRUE(Contains(DescribeTcpTableSelection(selection), "through its helper " + helper));
        // Given CAP_NET_ADMIN alone, the helper polls and the program learns why.
        EXPECT_TRUE(Contains(DescribePollingMode(selection), "CAP_BPF and CAP_PERFMON"));

        const pid_t pid = table->HelperPid();
        EXPECT_EQ(ProcessCapabilities(pid, "CapPrm"), CapabilityBit(CAP_NET_ADMIN));
        EXPECT_EQ(ProcessCapabilities(pid, "CapEff"), CapabilityBit(CAP_NET_ADMIN));
        EXPECT_EQ(ProcessCapabilities(pid, "CapInh"), 0u);
        EXPECT_EQ(ProcessCapabilities(pid, "CapAmb"), 0u);
        EXPECT_EQ(ProcessStatus(pid, "NoNewPrivs"), "1");
        for (const char* field : {"CapInh", "CapPrm", "CapEff", "CapBnd", "CapAmb"}) {
            std::cout << "helper with file capability: " << field << " "
                      << ProcessStatus(pid, field) << "\n";
        }

        EXPECT_TRUE(selection.Source->CloseConnection(*row));
        EXPECT_EQ(ReceiveError(c.client.Get()), ECONNABORTED);
    });
    std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace quarnel::platform
