// The window over the real table in a private network namespace: a connection the rules close
// is notified and listed among the recent closes, and the menu of a connection line closes a
// real connection now and blocks a port the way typing it would.

#include <QApplication>
#include <QTest>
#include <QTimer>

#include "app/frmMain.h"
#include "engine/ActionLog.h"
#include "engine/Settings.h"
#include "platform/linux/sockdiag/LinuxTcpTable.h"
#include "tests/engine/TableGuard.h"
#include "tests/support/PrivateNetwork.h"
#include "tests/support/Sockets.h"

namespace quarnel {
namespace {

using testsupport::Carries;
using testsupport::Connect;
using testsupport::ListenIPv4;
using testsupport::RunInPrivateNetwork;

struct Discarding : platform::LogOutput {
    std::size_t LongestLine() const override { return 4096; }
    bool TryWrite(std::string_view /*line*/) override { return true; }
};

struct Answering : Messages {
    void Show(const std::string& text) override { Said.push_back(text); }
    bool Confirm(const std::string& text) override { return Said.push_back(text), true; }
    std::vector<std::string> Said;
};

TEST(LiveWindow, AClosedConnectionIsNotifiedListedAndTheLineMenuClosesAndBlocks) {
    RunInPrivateNetwork([] {
        auto table = platform::LinuxTcpTable::Open();
        ASSERT_TRUE(table);
        const auto blocked = ListenIPv4();
        const auto open = ListenIPv4();
        testing::Guard<> guard(
            *table, {{AllowedIPKey, ""}, {BlockedLocalPortsKey, std::to_string(blocked.port)}});
        Discarding output;
        ActionLog log(output);
        CloseRecords records;
        guard.engine.LogTo(log, &records);
        Answering messages;
        bool quit = false;
        Manager& oManager = guard.engine.oManager;
        frmMain window(oManager, quit, messages);
        window.Form_Load();
        oManager.oMainForm = &window;
        window.chkHideLocal.setChecked(false);
        oManager.SetCurrentMode(ModeCurrentConnections);
        std::vector<std::string> notified;
        window.Notify = [&](const QString&, const QString& text) {
            notified.push_back(text.toStdString());
        };
        window.ShowClosesFrom(&records);
        window.CloseConnectionNow = [&](const platform::TcpRow& row) {
            return table->CloseConnection(row);
        };

        // Closed by the rules: notified by its line, and listed.
        const auto closed = Connect(blocked);
        ASSERT_TRUE(guard.CycleUntil([&] { return records.ClosedCount() == 1; }));
        window.TellCloses();
        ASSERT_EQ(notified.size(), 1u);
        EXPECT_TRUE(notified[0].starts_with(
            "closed IPv4 127.0.0.1:" + std::to_string(blocked.port) + " -> 127.0.0.1:"))
            << notified[0];
        EXPECT_FALSE(Carries(closed));
        window.ShowRecentCloses();
        ASSERT_EQ(window.RecentCloses->lstCloses.topLevelItemCount(), 1);
        EXPECT_EQ(window.RecentCloses->lstCloses.topLevelItem(0)->text(3).toStdString(),
                  "local port " + std::to_string(blocked.port) + " blocked");

        // The line of the client's end of a connection the rules leave open.
        const auto first = Connect(open), second = Connect(open);
        ASSERT_TRUE(Carries(first) && Carries(second));
        const auto lineTo = [&](const testsupport::Connection& connection) {
            const int port = testsupport::LocalPort(connection.client.Get());
            for (int i = 0; i < window.lstMain.count(); ++i) {
                if (const auto row = oManager.RowOfShownLine(i);
                    row && row->LocalPort == port && row->RemotePort == open.port) {
                    return i;
                }
            }
            return -1;
        };
        const auto choose = [&](int line, QAction* action) {
            QTimer::singleShot(0, action, &QAction::trigger);
            QTimer::singleShot(0, &window.mnuConnection, &QMenu::close);
            window.lstMain.setCurrentRow(line);
            QTest::keyClick(&window.lstMain, Qt::Key_Menu);
        };
        int line = -1;
        ASSERT_TRUE(guard.CycleUntil([&] {
            window.RefreshConnectionsIfChanged();
            return (line = lineTo(first)) >= 0 && lineTo(second) >= 0;
        }));
        choose(line, window.mnuCloseNow);
        EXPECT_FALSE(Carries(first)) << "closed now";
        EXPECT_TRUE(Carries(second));
        EXPECT_TRUE(messages.Said.empty());

        ASSERT_TRUE(guard.CycleUntil([&] {
            window.RefreshConnectionsIfChanged();
            return (line = lineTo(second)) >= 0;
        }));
        choose(line, window.mnuBlockRemotePort);
        EXPECT_EQ(guard.store.Values[BlockedRemotePortsKey], std::to_string(open.port));
        ASSERT_TRUE(guard.CycleUntil([&] { return !Carries(second); })) << "blocked: closed";
        oManager.oMainForm = nullptr;
    });
}

}  // namespace
}  // namespace quarnel
