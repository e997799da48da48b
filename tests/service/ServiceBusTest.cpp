// quarneld's interface on the bus, asked by quarnelctl for real: a private bus with the
// package's policy, the service closing real connections in a private network namespace.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QProcess>
#include <regex>
#include <sstream>
#include <string>

#include "tests/service/Daemon.h"
#include "tests/support/OtherNamespace.h"
#include "tests/support/PrivateNetwork.h"
#include "tests/support/Sockets.h"

namespace quarnel {
namespace {

using namespace testsupport;

// A system bus of the test's own, in folder, with the policy the package installs (and root
// let own the service's name, since the service runs as root here).
struct PrivateBus : QProcess {
    explicit PrivateBus(const Folder& folder) : Address("unix:path=" + folder.Path("bus")) {
        std::ofstream(folder.Path("bus.conf")) << R"(<!DOCTYPE busconfig PUBLIC
 "-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>)" << Address << R"(</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <deny own="*"/>
    <deny send_type="method_call"/>
    <allow send_destination="org.freedesktop.DBus"/>
    <allow send_type="signal"/>
    <allow send_requested_reply="true" send_type="method_return"/>
    <allow send_requested_reply="true" send_type="error"/>
    <allow receive_type="method_call"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
    <allow receive_type="signal"/>
  </policy>
  <policy user="root"><allow own="org.quarnel.Quarneld1"/></policy>
  <include>)" << QUARNEL_BUS_POLICY << R"(</include>
</busconfig>
)";
        start("dbus-daemon", {"--nofork", "--nopidfile", "--config-file",
                              QString::fromStdString(folder.Path("bus.conf"))});
        EXPECT_TRUE(waitForStarted());
        EXPECT_TRUE(WaitUntil([&] { return std::filesystem::exists(folder.Path("bus")); }));
    }
    ~PrivateBus() override {
        terminate();
        (void)waitForFinished();
    }
    std::string Address;
};

struct Asked {
    int Status = -1;
    std::string Out, Err;
};

// quarnelctl ARGS on bus, as root or as nobody.
Asked Ask(const PrivateBus& bus, const QStringList& args, bool asNobody = false) {
    QProcess ctl;
    QProcessEnvironment environment;
    environment.insert("DBUS_SYSTEM_BUS_ADDRESS", QString::fromStdString(bus.Address));
    environment.insert("TZ", "UTC");
    ctl.setProcessEnvironment(environment);
    if (asNobody) {
        ctl.start(
            "setpriv",
            QStringList{"--reuid=65534", "--regid=65534", "--clear-groups", QUARNEL_CTL} + args);
    } else {
        ctl.start(QUARNEL_CTL, args);
    }
    EXPECT_TRUE(ctl.waitForFinished());
    return {ctl.exitCode(), ctl.readAllStandardOutput().toStdString(),
            ctl.readAllStandardError().toStdString()};
}

// What the service did, as quarnelctl tells it in each of its forms; those outside root and the
// group quarnel are refused; with the service gone, quarnelctl says so.
TEST(ServiceBus, TellsQuarnelctlItsRulesNamespacesCountersAndCloses) {
    RunInPrivateNetwork([] {
        const Folder folder;
        // The bus's socket is reached by nobody too.
        std::filesystem::permissions(folder.Path(""), std::filesystem::perms::others_exec,
                                     std::filesystem::perm_options::add);
        const PrivateBus bus(folder);
        folder.WriteRules(
            "[General]\nAllowedIPString=192.0.2.7\nBlockedLocalPortsString=4200,4300-4399\n");
        const Listener one = ListenIPv4("127.0.0.1", 4200), range = ListenIPv4("127.0.0.1", 4310);
        const Connection a = Connect(one), b = Connect(range), c = Connect(range);
        Daemon daemon(folder, false, {}, {},
                      {QString::fromStdString("DBUS_SYSTEM_BUS_ADDRESS=" + bus.Address)});
        ASSERT_TRUE(
            daemon.Logged("It answers quarnelctl and busctl on the system bus", kStartTimeout))
            << daemon.Read();
        for (const Connection* closed : {&a, &b, &c}) {
            ASSERT_TRUE(WaitUntil([&] { return Aborted(closed->server); })) << daemon.Read();
        }
        ASSERT_TRUE(daemon.Logged("closed IPv4 127.0.0.1:4310"));

        const Asked status = Ask(bus, {"status"});
        ASSERT_EQ(status.Status, 0) << status.Err;
        EXPECT_NE(status.Out.find("closed 3, missed 0"), std::string::npos) << status.Out;
        EXPECT_NE(status.Out.find("  1 closed by local 4200\n  2 closed by local 4300-4399\n"),
                  std::string::npos)
            << status.Out;
        EXPECT_NE(status.Out.find("rules from " + folder.Path(Folder::Rules)), std::string::npos);
        EXPECT_EQ(Ask(bus, {"rules"}).Out,
                  "rules from " + folder.Path(Folder::Rules) +
                      "\nblocked local ports: 4200, 4300-4399\nblocked remote ports: none\n"
                      "allowed addresses: 192.0.2.7\n");
        EXPECT_NE(Ask(bus, {"namespaces"}).Out.find("]\tits own\n"), std::string::npos);
        // The latest closes as the log wrote them, each after its time.
        std::istringstream closes(Ask(bus, {"closes"}).Out);
        int lines = 0;
        for (std::string line; std::getline(closes, line); ++lines) {
            ASSERT_GT(line.size(), 20u);
            EXPECT_NE(daemon.Read().find(line.substr(20) + "\n"), std::string::npos) << line;
        }
        EXPECT_EQ(lines, 3);
        EXPECT_NE(
            Ask(bus, {"--json", "rules"}).Out.find(R"("blocked_local_ports":["4200","4300-4399"])"),
            std::string::npos);
        const std::regex own(R"(\{"namespaces":\[\{"inode":[0-9]+,"name":"[^"]+"\}\]\}\n)");
        EXPECT_TRUE(std::regex_match(Ask(bus, {"--json", "namespaces"}).Out, own));
        const std::regex last(
            R"(\{"closes":\[(\{"time_us":[0-9]+,"line":"closed [^"]+"\},?){3}\]\}\n)");
        EXPECT_TRUE(std::regex_match(Ask(bus, {"--json", "closes"}).Out, last));
        // Prometheus' text format: comments, then NAME{LABELS} VALUE, every line.
        const std::string metrics = Ask(bus, {"metrics"}).Out;
        std::istringstream text(metrics);
        const std::regex sample(R"(^[a-z_]+(\{entry="[^"\\]*"\})? [0-9]+$)");
        for (std::string line; std::getline(text, line);) {
            EXPECT_TRUE(line.starts_with("# HELP ") || line.starts_with("# TYPE ") ||
                        std::regex_match(line, sample))
                << line;
        }
        EXPECT_NE(metrics.find("\nquarnel_closed_total 3\n"), std::string::npos) << metrics;
        EXPECT_NE(metrics.find("\nquarnel_closed_by_entry_total{entry=\"local 4300-4399\"} 2\n"),
                  std::string::npos);
        // For node_exporter's collector: written whole, the same text.
        const std::string prom = folder.Path("quarnel.prom");
        ASSERT_EQ(Ask(bus, {"metrics", "--output", QString::fromStdString(prom)}).Status, 0);
        EXPECT_EQ(Contents(prom), metrics);

        if (::geteuid() == 0) {
            const Asked refused = Ask(bus, {"status"}, true);
            EXPECT_EQ(refused.Status, 4) << refused.Out << refused.Err;
            EXPECT_NE(refused.Err.find("refused: only root and the members of the group quarnel"),
                      std::string::npos)
                << refused.Err;
        }
        ASSERT_TRUE(daemon.Stop()) << daemon.Read();
        const Asked gone = Ask(bus, {"status"});
        EXPECT_EQ(gone.Status, 3);
        EXPECT_NE(gone.Err.find("quarneld is not running"), std::string::npos) << gone.Err;
        EXPECT_EQ(Ask(bus, {"metrics", "--output", QString::fromStdString(prom)}).Status, 3);
        EXPECT_NE(Contents(prom).find("\nquarnel_up 0\n"), std::string::npos) << Contents(prom);
    });
}

}  // namespace
}  // namespace quarnel
