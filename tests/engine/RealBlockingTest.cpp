#include <sys/socket.h>

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>

#include <cerrno>

#include "app/IniSettingsStore.h"
#include "platform/linux/LinuxHostAddressSource.h"
#include "platform/linux/LinuxTcpTable.h"
#include "tests/engine/TestEngine.h"
#include "tests/support/PrivateNetwork.h"
#include "tests/support/Sockets.h"

namespace quarnel {
namespace {

using namespace testsupport;

// The errno of a receive that does not wait: EAGAIN while the connection lives.
int ReceiveError(const UniqueFd& socket) {
    char byte = 0;
    return ::recv(socket.Get(), &byte, 1, MSG_DONTWAIT) < 0 ? errno : 0;
}

bool Carries(const Connection& connection) {
    char byte = 'q';
    return ::send(connection.client.Get(), &byte, 1, MSG_NOSIGNAL) == 1 &&
           ::recv(connection.server.Get(), &byte, 1, 0) == 1 &&
           ::send(connection.server.Get(), &byte, 1, MSG_NOSIGNAL) == 1 &&
           ::recv(connection.client.Get(), &byte, 1, 0) == 1;
}

// Writes the rules into the INI file of a private config folder, as a user would.
void WriteRules(const QString& home, const std::string& text) {
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, home);
    ASSERT_TRUE(QDir(home).mkpath("Quarnel"));
    QFile file(home + "/Quarnel/Quarnel.ini");
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(("[General]\n" + text).c_str());
}

TEST(RealBlocking, RulesFromTheIniFileCloseBlockedConnectionsAndNothingElse) {
    RunInPrivateNetwork([] {
        const Listener blockedRemote = ListenIPv4(), open = ListenIPv4(),
                       allowedServer = ListenIPv4("127.0.0.2"), blockedListener = ListenIPv4();
        const int blockedClientPort = ListenIPv4().port;  // free again once its listener closed
        ASSERT_TRUE(blockedRemote.fd && open.fd && allowedServer.fd && blockedListener.fd);
        const QTemporaryDir home;
        const auto list = [](int a, int b) { return std::to_string(a) + "," + std::to_string(b); };
        // 127.0.0.1 is off the allowed list: loopback connections have no protection.
        WriteRules(home.path(), "AllowedIPString=127.0.0.2\nBlockedLocalPortsString=" +
                                    list(blockedListener.port, blockedClientPort) +
                                    "\nBlockedRemotePortsString=" +
                                    list(blockedRemote.port, allowedServer.port) + "\n");

        const auto table = platform::LinuxTcpTable::Open();
        ASSERT_TRUE(table);
        platform::LinuxHostAddressSource hosts;
        IniSettingsStore store;
        Engine engine(*table, hosts, store);
        engine.oManager.LoadSettings();
        ASSERT_EQ(engine.oManager.oBlockedRemotePorts.GetItemCount(), 2);

        const Connection toBlockedPort = Connect(blockedRemote);
        const Connection fromBlockedPort = Connect(open, "127.0.0.1", blockedClientPort);
        const Connection unblocked = Connect(open);
        const Connection allowed = Connect(allowedServer, "127.0.0.2");
        ASSERT_TRUE(toBlockedPort.client && fromBlockedPort.client && unblocked.client &&
                    allowed.client);

        // The kernel tells a closed socket's error to one receive only: keep the first.
        int toBlocked = EAGAIN, fromBlocked = EAGAIN, eventSteps = 0;
        for (int pass = 0; pass < 5; ++pass) {
            engine.ProcessTcpTable([&] { ++eventSteps; });
            toBlocked = toBlocked == EAGAIN ? ReceiveError(toBlockedPort.client) : toBlocked;
            fromBlocked =
                fromBlocked == EAGAIN ? ReceiveError(fromBlockedPort.client) : fromBlocked;
        }
        EXPECT_EQ(toBlocked, ECONNABORTED);
        EXPECT_EQ(fromBlocked, ECONNABORTED);
        EXPECT_EQ(eventSteps, 2);
        EXPECT_TRUE(Carries(unblocked));
        EXPECT_TRUE(Carries(allowed));
        int listening = 0;
        socklen_t size = sizeof listening;
        ASSERT_EQ(
            ::getsockopt(blockedListener.fd.Get(), SOL_SOCKET, SO_ACCEPTCONN, &listening, &size),
            0);
        EXPECT_EQ(listening, 1);
    });
}

TEST(RealBlocking, LocalAddressesIncludeThoseOfInterfacesThatAreUp) {
    RunInPrivateNetwork([] {
        const platform::HostAddresses found = platform::LinuxHostAddressSource().GetHostAddresses();
        EXPECT_FALSE(found.Failure);
        EXPECT_NE(std::find(found.Addresses.begin(), found.Addresses.end(), RawIPv4("127.0.0.1")),
                  found.Addresses.end());
    });
}

}  // namespace
}  // namespace quarnel
