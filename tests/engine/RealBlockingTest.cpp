#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>

#include <algorithm>
#include <cerrno>
#include <string>

#include "app/IniSettingsStore.h"
#include "engine/Engine.h"
#include "platform/linux/LinuxHostAddressSource.h"
#include "platform/linux/LinuxTcpTable.h"
#include "tests/support/PrivateNetwork.h"
#include "tests/support/Sockets.h"

namespace quarnel {
namespace {

using namespace testsupport;

// The errno of a non-blocking receive: EAGAIN while the connection lives.
int ReceiveError(const UniqueFd& socket) {
    char byte = 0;
    return ::recv(socket.Get(), &byte, 1, MSG_DONTWAIT) < 0 ? errno : 0;
}

// Whether one byte still travels from one end to the other.
bool Carries(const UniqueFd& from, const UniqueFd& to) {
    const char sent = 'q';
    char received = 0;
    return ::send(from.Get(), &sent, 1, MSG_NOSIGNAL) == 1 &&
           ::recv(to.Get(), &received, 1, 0) == 1 && received == sent;
}

// A port nobody uses right now in this namespace.
int FreePort() {
    const Listener probe = ListenIPv4();
    return probe.port;
}

// Writes the rule lists as a user would find them in the INI file of a private config folder.
void WriteRules(const QTemporaryDir& configHome, const std::string& localPorts,
                const std::string& remotePorts, const std::string& allowed) {
    qputenv("XDG_CONFIG_HOME", configHome.path().toLocal8Bit());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, configHome.path());
    ASSERT_TRUE(QDir().mkpath(configHome.path() + "/Quarnel"));
    QFile file(configHome.path() + "/Quarnel/Quarnel.ini");
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    const std::string text = "[General]\nBlockedLocalPortsString=" + localPorts +
                             "\nBlockedRemotePortsString=" + remotePorts +
                             "\nAllowedIPString=" + allowed + "\n";
    file.write(text.data(), static_cast<qint64>(text.size()));
}

TEST(RealBlocking, RulesFromTheIniFileCloseBlockedConnectionsAndNothingElse) {
    RunInPrivateNetwork([] {
        const Listener blockedRemote = ListenIPv4();
        const Listener open = ListenIPv4();
        const Listener allowedServer = ListenIPv4("127.0.0.2");
        const Listener blockedListener = ListenIPv4();
        const int blockedClientPort = FreePort();
        ASSERT_TRUE(blockedRemote.fd && open.fd && allowedServer.fd && blockedListener.fd);

        // 127.0.0.1 is off the allowed list, so loopback connections get no protection.
        QTemporaryDir configHome;
        ASSERT_TRUE(configHome.isValid());
        WriteRules(configHome,
                   std::to_string(blockedListener.port) + "," + std::to_string(blockedClientPort),
                   std::to_string(blockedRemote.port) + "," + std::to_string(allowedServer.port),
                   "127.0.0.2");

        const auto table = platform::LinuxTcpTable::Open();
        ASSERT_TRUE(table);
        platform::LinuxHostAddressSource hosts;
        IniSettingsStore store;
        Engine engine(*table, hosts, store);
        engine.oManager.LoadSettings();
        ASSERT_EQ(engine.oManager.oAllowedIP.GetItemCount(), 1);

        const Connection toBlockedPort = Connect(blockedRemote);
        const Connection fromBlockedPort = Connect(open, "127.0.0.1", blockedClientPort);
        const Connection survivor = Connect(open);
        const Connection allowed = Connect(allowedServer, "127.0.0.2");
        ASSERT_TRUE(toBlockedPort.client && fromBlockedPort.client && survivor.client &&
                    allowed.client);

        int eventSteps = 0;
        const auto events = [&] { ++eventSteps; };
        // The kernel reports a closed socket's error to one receive only: keep the first.
        int toBlockedError = EAGAIN;
        int fromBlockedError = EAGAIN;
        for (int passes = 0; passes < 5 && (toBlockedError == EAGAIN || fromBlockedError == EAGAIN);
             ++passes) {
            engine.ProcessTcpTable(events);
            if (toBlockedError == EAGAIN) {
                toBlockedError = ReceiveError(toBlockedPort.client);
            }
            if (fromBlockedError == EAGAIN) {
                fromBlockedError = ReceiveError(fromBlockedPort.client);
            }
        }
        EXPECT_EQ(toBlockedError, ECONNABORTED);
        EXPECT_EQ(fromBlockedError, ECONNABORTED);
        EXPECT_GE(eventSteps, 2);

        for (int more = 0; more < 5; ++more) {
            engine.ProcessTcpTable(events);
        }
        EXPECT_TRUE(Carries(survivor.client, survivor.server));
        EXPECT_TRUE(Carries(survivor.server, survivor.client));
        EXPECT_TRUE(Carries(allowed.client, allowed.server));
        EXPECT_TRUE(Carries(allowed.server, allowed.client));

        const auto& rows = engine.Table.Rows;
        EXPECT_TRUE(std::any_of(rows.begin(), rows.end(), [&](const platform::TcpRow& row) {
            return row.LocalPort == blockedListener.port && row.State == TcpStateListening;
        }));
    });
}

TEST(RealBlocking, LocalAddressesIncludeTheUpInterfaces) {
    RunInPrivateNetwork([] {
        const platform::HostAddresses found = platform::LinuxHostAddressSource().GetHostAddresses();
        ASSERT_FALSE(found.Failure) << found.Failure->Description;
        const auto& addresses = found.Addresses;
        EXPECT_NE(std::find(addresses.begin(), addresses.end(), RawIPv4("127.0.0.1")),
                  addresses.end());
    });
}

}  // namespace
}  // namespace quarnel
