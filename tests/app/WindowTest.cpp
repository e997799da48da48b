#include <QAction>
#include <QApplication>
#include <QTest>
#include <QTimer>
#include <QToolTip>

#include <map>

#include "app/frmMain.h"
#include "engine/Settings.h"
#include "tests/engine/TestEngine.h"
#include "window/ListEditing.h"

namespace quarnel {
namespace {

using Lines = std::vector<std::string>;
const std::string Web = "50000 <--> 198.51.100.7:443 ESTABLISHED",
                  Local = "50001 <--> 127.0.0.1:8080 ESTABLISHED";

// The window as start-up leaves it, over a scripted table, one host address and rules in memory.
// It tells its messages and questions to the test, which records them and answers Answer.
class Window : public ::testing::Test, public Messages {
protected:
    void SetUp() override {
        store.Values = {{AllowedIPKey, "127.0.0.1"},
                        {BlockedLocalPortsKey, "445,445,139"},
                        {BlockedRemotePortsKey, "22"}};
        hosts.Result.Addresses = {testing::Ip("192.0.2.5")};
        table.Connections = {
            testing::Established(50000, "198.51.100.7", 443, 1),
            testing::Established(50001, "127.0.0.1", 8080, 2),
            testing::Row(platform::TcpState::LastAck, "0.0.0.0", 80, "0.0.0.0", 0, 3)};
        oManager.LoadSettings();
        window.Form_Load();
        oManager.oMainForm = &window;
        oManager.SetCurrentMode(ModeCurrentConnections);
        oManager.RefreshLocalIPList();
        Tick();
    }
    void TearDown() override { oManager.oMainForm = nullptr; }
    void Show(const std::string& text) override { Said.push_back(text); }
    bool Confirm(const std::string& text) override { return Said.push_back(text), Answer; }

    // A blocking pass and the list timer's tick.
    void Tick() {
        engine.ProcessTcpTable({});
        window.RefreshConnectionsIfChanged();
    }
    Lines Listed() const {
        Lines lines;
        for (int i = 0; i < window.lstMain.count(); ++i)
            lines.push_back(window.lstMain.item(i)->text().toStdString());
        return lines;
    }

    testing::FakeTable table;
    testing::FakeHosts hosts;
    testing::MemoryStore store;
    Engine engine{table, hosts, store};
    Manager& oManager = engine.oManager;
    Lines Said;
    bool Answer = true, bQuit = false;
    frmMain window{oManager, bQuit, *this};
};

// After a delete the entries below move up; none of them was picked, so a second Delete, from
// the menu over empty space or from the keyboard, takes nothing.
TEST_F(Window, DeleteTakesOnlyWhatWasPickedByMouseOrKeyboard) {
    store.Values[AllowedIPKey] = "1.2.3.4,10.0.0.1,5.5.5.5,6.6.6.6";
    oManager.LoadSettings();
    emit window.cmdAllowedIP.Click();
    window.show();
    const auto menuDelete = [this](QPoint where) {
        QTimer::singleShot(0, window.mnuDelete, &QAction::trigger);
        QTimer::singleShot(0, &window.mnuListBox, &QMenu::close);
        QTest::mousePress(window.lstMain.viewport(), Qt::RightButton, {}, where);
        QTest::mouseRelease(window.lstMain.viewport(), Qt::RightButton, {}, where);
    };
    const QPoint second = window.lstMain.visualItemRect(window.lstMain.item(1)).center();
    QTest::mouseClick(window.lstMain.viewport(), Qt::LeftButton, {}, second);
    menuDelete(second);
    EXPECT_EQ(Listed(), (Lines{"1.2.3.4", "5.5.5.5", "6.6.6.6"}));
    EXPECT_TRUE(window.lstMain.selectedItems().isEmpty());
    menuDelete(QPoint(5, window.lstMain.viewport()->height() - 5));  // over empty space
    EXPECT_EQ(Listed(), (Lines{"1.2.3.4", "5.5.5.5", "6.6.6.6"}));

    window.lstMain.setFocus();
    QTest::keyClick(&window.lstMain, Qt::Key_Down);
    QTest::keyClick(&window.lstMain, Qt::Key_Down);
    ASSERT_EQ(window.lstMain.currentRow(), 1);
    QTest::keyClick(&window.lstMain, Qt::Key_Delete);
    QTest::keyClick(&window.lstMain, Qt::Key_Delete);
    EXPECT_EQ(Listed(), (Lines{"1.2.3.4", "6.6.6.6"}));
    EXPECT_EQ(store.Values[AllowedIPKey], "1.2.3.4,6.6.6.6");
}

// Each view's button shows its list, and only the rule lists can be edited.
TEST_F(Window, EachViewShowsItsListAndAddRefusesInvalidEntriesAndStoresValidOnesPlainly) {
    // The view, what is typed, the message (none: nullptr) and what the list gains (nullptr:
    // nothing). What is accepted is saved; nothing is saved after a refusal, a blank entry or in a
    // read-only view. The blocked local ports take theirs by Enter. (WindowLogic checks what each
    // list takes.)
    Command &ip = window.cmdAllowedIP, &remote = window.cmdBlockedRemote,
            &local = window.cmdBlockedLocal, &machine = window.cmdLocalIP,
            &connections = window.cmdCurrentConnections;
    const struct {
        Command& view;
        const char *typed, *message, *added;
    } cases[] = {
        {ip, "1.2.x.256", InvalidIPText, nullptr},
        {ip, "   ", nullptr, nullptr},
        {ip, " +010.000. 0.001 ", nullptr, "10.0.0.1"},
        {remote, "65536", InvalidPortText, nullptr},
        {local, "80.5", nullptr, "80"},
        {machine, "10.0.0.9", nullptr, nullptr},
        {connections, "10.0.0.9", nullptr, nullptr},
    };
    std::map<Command*, Lines> lists{{&ip, {"127.0.0.1"}},
                                    {&remote, {"22"}},
                                    {&local, {"445", "445", "139"}},
                                    {&machine, {"192.0.2.5"}},
                                    {&connections, {Web}}};
    for (const auto& [view, typed, message, added] : cases) {
        SCOPED_TRACE(typed);
        emit view.Click();
        Tick();  // an edit empties the verdicts: connections are listed once a pass judged them
        const bool editing = &view != &machine && &view != &connections;
        EXPECT_EQ((std::vector{window.txtItem.isEnabled(), window.cmdAdd.Enabled(),
                               window.mnuDelete->isEnabled()}),
                  std::vector(3, editing));
        Said.clear();
        store.Values.clear();
        window.txtItem.setText(typed);
        if (&view == &local) {
            QTest::keyClick(&window.txtItem, Qt::Key_Return);
        } else {
            emit window.cmdAdd.Click();
        }
        EXPECT_EQ(Said, message ? Lines{message} : Lines{});
        if (added) {
            lists[&view].push_back(added);
        }
        EXPECT_EQ(Listed(), lists[&view]);
        EXPECT_EQ(store.Values.empty(), message || !editing || QString(typed).trimmed().isEmpty());
    }
}

TEST_F(Window, AddLocalIPsAsksAndAddsOnOKWithoutSavingUntilTheClose) {
    emit window.cmdAllowedIP.Click();
    store.Values.clear();
    for (const bool ok : {false, true}) {
        Answer = ok;
        emit window.cmdAddLocal.Click();
        EXPECT_EQ(Said.back(), AddLocalIPsQuestion);
        EXPECT_EQ(Listed(), ok ? (Lines{"127.0.0.1", "192.0.2.5"}) : Lines{"127.0.0.1"});
        EXPECT_TRUE(store.Values.empty());
    }
    window.close();
    EXPECT_TRUE(bQuit);
    EXPECT_EQ(store.Values[AllowedIPKey], "127.0.0.1,192.0.2.5");
}

TEST_F(Window, CheckBoxesFilterWithinOneTickAndTheTimerReloadsOnlyAChangedConnectionView) {
    // Both start ticked: only connected ports, no local connections.
    const std::pair<QCheckBox*, Lines> steps[] = {
        {&window.chkShowX, {Web, "80 LAST_ACK"}},
        {&window.chkHideLocal, {Web, Local, "80 LAST_ACK"}},
    };
    for (const auto& [box, lines] : steps) {
        QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(4, box->height() / 2));
        window.RefreshConnectionsIfChanged();
        EXPECT_EQ(Listed(), lines);
    }
    window.lstMain.item(0)->setText("as shown");
    Tick();
    EXPECT_EQ(Listed(), (Lines{"as shown", Local, "80 LAST_ACK"}));  // unchanged lines: no reload
    table.Connections.push_back(testing::Established(50002, "203.0.113.9", 25, 4));
    Tick();
    // Rows gone from the middle and the end: the items a refill would show.
    table.Connections.erase(table.Connections.begin());
    table.Connections.pop_back();
    Tick();
    EXPECT_EQ(Listed(), testing::ItemTexts(oManager.oCurrentConnections));
    // Shown again after being hidden, it catches up at once.
    window.hide();
    table.Connections.push_back(testing::Established(50003, "203.0.113.9", 25, 5));
    Tick();
    window.show();
    EXPECT_EQ(Listed(), (Lines{Local, "80 LAST_ACK", "50003 <--> 203.0.113.9:25 ESTABLISHED"}));

    emit window.cmdBlockedRemote.Click();
    table.Connections.pop_back();
    Tick();
    EXPECT_EQ(Listed(), Lines{"22"});  // other views are left alone
}

// Hovering a connection line shows who it belongs to, as far as that is known: until the list
// box follows a check box, the owner of the line it shows, not of a newer line at the same place.
TEST_F(Window, HoveringAConnectionLineShowsTheOwnerOfTheLineShown) {
    std::swap(table.Connections[0], table.Connections[1]);
    table.Connections[0].OwnerPid = 900;
    table.Connections[1].OwnerPid = 812;
    table.Owners[812] = {812, 107, {'s', 'm', 't', 'p'}};
    table.Owners[900] = {900, 107, {'c', 'u', 'r', 'l'}};
    window.UserName = [](std::uint32_t uid) { return uid == 107 ? "postfix" : "?"; };
    Tick();
    ASSERT_EQ(Listed(), Lines{Web});
    const auto centre = [&](int line) {
        return window.lstMain.visualItemRect(window.lstMain.item(line)).center();
    };
    const auto tip = [&](int line) { return window.ConnectionToolTip(centre(line)).toStdString(); };
    const std::string smtp = "Program: smtp\nProcess ID: 812\nUser: postfix";
    QHelpEvent help(QEvent::ToolTip, centre(0), window.lstMain.viewport()->mapToGlobal(centre(0)));
    QApplication::sendEvent(window.lstMain.viewport(), &help);
    EXPECT_EQ(QToolTip::text().toStdString(), smtp);
    window.chkHideLocal.setChecked(!window.chkHideLocal.isChecked());
    ASSERT_EQ(Listed(), Lines{Web});  // the timer has not come yet
    EXPECT_EQ(tip(0), smtp);
    window.RefreshConnectionsIfChanged();
    ASSERT_EQ(Listed(), (Lines{Local, Web}));
    EXPECT_EQ(tip(0), "Program: curl\nProcess ID: 900\nUser: postfix");
    EXPECT_EQ(tip(1), smtp);
    table.Connections[1].OwnerPid = 0;
    Tick();
    EXPECT_EQ(tip(1), "Program: unknown");
    EXPECT_EQ(Listed(), (Lines{Local, Web}));
    emit window.cmdBlockedRemote.Click();
    EXPECT_EQ(tip(0), "") << "a rule is no connection";
}

// Minimised with a tray or without one, then a click on the icon: whether the window is then
// visible and minimised. Shown again, every button is initialised, which leaves even a disabled
// one idle.
TEST_F(Window, MinimiseHidesOnlyWithATrayWhoseClicksBringItBackActivated) {
    using Tray = QSystemTrayIcon;
    const struct {
        bool tray;
        Tray::ActivationReason reason;
        bool visible, minimised;
    } cases[] = {
        {true, Tray::Trigger, true, false},
        {true, Tray::MiddleClick, false, true},
        {false, Tray::Trigger, true, false},
        {true, Tray::Context, true, false},  // with the menu, never left minimised unseen
    };
    for (const auto& [tray, reason, visible, minimised] : cases) {
        SCOPED_TRACE(int(reason));
        window.TrayAvailable = [tray] { return tray; };
        window.showNormal();
        emit window.TrayIcon.activated(Tray::Context);  // nothing while the window is open
        window.setWindowState(window.windowState() | Qt::WindowMinimized);  // as a desktop does
        EXPECT_EQ(window.isVisible(), !tray);
        emit window.TrayIcon.activated(reason);
        EXPECT_EQ(window.isVisible(), visible);
        EXPECT_EQ(window.isMinimized(), minimised);
    }
    EXPECT_EQ(window.cmdAdd.CurrentState(), StateNormal);  // though this view edits nothing
    EXPECT_EQ(window.TrayIcon.icon().cacheKey(), window.windowIcon().cacheKey());

    // Hidden to its icon, the window comes back minimised to the task bar when the notification
    // area goes away; one that comes back is used at the next minimising.
    bool tray = true;
    window.TrayAvailable = [&tray] { return tray; };
    window.showNormal();
    window.setWindowState(window.windowState() | Qt::WindowMinimized);
    ASSERT_FALSE(window.isVisible());
    window.WatchTray();
    EXPECT_FALSE(window.isVisible()) << "hidden while the tray is there";
    tray = false;
    window.WatchTray();
    EXPECT_TRUE(window.isVisible() && window.isMinimized());
    EXPECT_FALSE(window.TrayWatch.isActive());
}

// The tray icon says what the guard does and how many it closed; its menu shows the window,
// the recent closes and quits. Closes are notified, a burst in one notification, and not at all
// once switched off.
TEST_F(Window, TheTrayIconTellsTheModeAndClosesAndItsMenuActs) {
    CloseRecords records;
    std::vector<std::string> notified;
    window.Notify = [&](const QString&, const QString& text) {
        notified.push_back(text.toStdString());
    };
    window.ShowClosesFrom(&records);
    window.SetGuardMode(frmMain::GuardMode::ClosesAndHoldsBack);
    EXPECT_EQ(window.TrayIcon.toolTip().toStdString(),
              "Virel Quarnel: closes and holds data back\n0 connections closed since start");
    window.SetGuardMode(frmMain::GuardMode::OnlyShows);
    EXPECT_EQ(window.mnuTrayMode->text().toStdString(), "Virel Quarnel only shows");
    window.SetGuardMode(frmMain::GuardMode::Closes);

    testing::SetRules(oManager, "", "", "443");
    const platform::ConnectionOwner curl{812, 107, {'c', 'u', 'r', 'l'}};
    const auto close = [&](int count) {
        for (int i = 0; i < count; ++i) {
            records.Add(testing::Established(50000 + i, "198.51.100.7", 443, 10 + i),
                        Verdict::BlockedByRemotePort, oManager.Rules(), curl, false);
        }
    };
    close(1);
    window.TellCloses();
    EXPECT_EQ(notified, (std::vector<std::string>{
                            "closed IPv4 192.0.2.5:50000 -> 198.51.100.7:443 (remote port 443 "
                            "blocked) by curl [812] user 107"}));
    EXPECT_EQ(window.TrayIcon.toolTip().toStdString(),
              "Virel Quarnel: closes\n1 connection closed since start");
    close(12);  // within the gap: counted at once, told together later
    window.TellCloses();
    EXPECT_EQ(notified.size(), 1u);
    EXPECT_EQ(window.mnuTrayCount->text().toStdString(), "13 connections closed since start");
    QTest::qWait(frmMain::NoticeGap + 1100);  // the closes timer ticks meanwhile
    ASSERT_EQ(notified.size(), 2u);
    EXPECT_EQ(notified.back(), "12 connections closed");
    window.mnuTrayNotify->setChecked(false);
    close(3);
    QTest::qWait(frmMain::NoticeGap + 1100);
    EXPECT_EQ(notified.size(), 2u) << "switched off";

    window.mnuTrayRecent->trigger();
    ASSERT_TRUE(window.RecentCloses && window.RecentCloses->isVisible());
    QTreeWidget& list = window.RecentCloses->lstCloses;
    ASSERT_EQ(list.topLevelItemCount(), 16);
    const QTreeWidgetItem* newest = list.topLevelItem(0);
    EXPECT_EQ(newest->text(1).toStdString(), "closed");
    EXPECT_EQ(newest->text(2).toStdString(), "IPv4 192.0.2.5:50002 -> 198.51.100.7:443");
    EXPECT_EQ(newest->text(3).toStdString(), "remote port 443 blocked");
    EXPECT_EQ(newest->text(4).toStdString(), "curl");
    EXPECT_EQ(newest->text(5).toStdString(), "812");
    EXPECT_EQ(newest->text(6).toStdString(), "107");

    window.showMinimized();
    window.setWindowState(window.windowState() | Qt::WindowMinimized);
    window.mnuTrayShow->trigger();
    EXPECT_TRUE(window.isVisible() && !window.isMinimized());
    window.mnuTrayQuit->trigger();
    EXPECT_TRUE(bQuit);
}

// The menu of a connection line acts on the connection of the line clicked: it closes it now,
// telling a failure, and each block or allow goes through the list's checks, is saved and
// judges the connections at once, a block asked first with how many it closes.
TEST_F(Window, TheMenuOfAConnectionLineClosesBlocksAndAllowsFromTheLine) {
    window.CloseConnectionNow = [&](const platform::TcpRow& row) {
        return table.CloseConnection(row);
    };
    window.chkHideLocal.setChecked(false);
    Tick();
    window.show();
    ASSERT_EQ(Listed(), (Lines{Web, Local}));
    const auto choose = [&](int line, QAction*& action, bool byKey = false) {
        QTimer::singleShot(0, action, &QAction::trigger);
        QTimer::singleShot(0, &window.mnuConnection, &QMenu::close);
        const QPoint at = window.lstMain.visualItemRect(window.lstMain.item(line)).center();
        if (byKey) {
            window.lstMain.setCurrentRow(line);
            QTest::keyClick(&window.lstMain, Qt::Key_Menu);
        } else {
            QTest::mousePress(window.lstMain.viewport(), Qt::RightButton, {}, at);
            QTest::mouseRelease(window.lstMain.viewport(), Qt::RightButton, {}, at);
        }
    };
    // The choices are named after the line's connection.
    choose(0, window.mnuConnectionRecent);
    EXPECT_EQ(window.mnuBlockRemotePort->text().toStdString(), "Block remote port 443");
    EXPECT_EQ(window.mnuBlockLocalPort->text().toStdString(), "Block local port 50000");
    EXPECT_EQ(window.mnuAllowRemoteAddress->text().toStdString(),
              "Allow remote address 198.51.100.7");

    table.RefuseCloses = true;
    choose(1, window.mnuCloseNow);
    ASSERT_EQ(table.Closes.size(), 1u);
    EXPECT_EQ(table.Closes.back().RemotePort, 8080);
    ASSERT_EQ(Said.size(), 1u);
    EXPECT_NE(Said.back().find("could not be closed"), std::string::npos);
    table.RefuseCloses = false;
    choose(1, window.mnuCloseNow, true);
    EXPECT_EQ(table.Closes.size(), 2u);
    Tick();
    EXPECT_EQ(Listed(), Lines{Web});

    Answer = false;  // asked first, and nothing happens on Cancel
    choose(0, window.mnuBlockRemotePort);
    EXPECT_EQ(Said.back(), "Block remote port 443? It closes this connection at once.");
    EXPECT_EQ(store.Values[BlockedRemotePortsKey], "22");
    Answer = true;
    choose(0, window.mnuAllowRemoteAddress);
    EXPECT_EQ(store.Values[AllowedIPKey], "127.0.0.1,198.51.100.7");
    Tick();  // the lines come back once the pass has judged the rows anew
    choose(0, window.mnuBlockRemotePort);
    EXPECT_EQ(Said.back(), "Block remote port 443? It closes every connection on it from now on.");
    EXPECT_EQ(store.Values[BlockedRemotePortsKey], "22,443");
    Tick();
    EXPECT_EQ(Listed(), Lines{Web}) << "allowed: kept";
    oManager.SetCurrentMode(ModeAllowedIP);
    DeleteSelectedItem(oManager, "198.51.100.7");
    oManager.SetCurrentMode(ModeCurrentConnections);
    Tick();  // judged anew under the edited lists: closed
    EXPECT_EQ(table.Closes.back().RemotePort, 443);
    EXPECT_EQ(table.Connections.size(), 1u) << "only the listener-less LAST_ACK row is left";
}

}  // namespace
}  // namespace quarnel
