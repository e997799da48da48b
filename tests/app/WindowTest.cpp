#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QTest>
#include <QTimer>

#include "app/AppIdentity.h"
#include "app/ListEditing.h"
#include "app/frmMain.h"
#include "engine/Settings.h"
#include "tests/engine/TestEngine.h"

namespace quarnel {
namespace {

using testing::Established;
using Lines = std::vector<std::string>;
const std::string Web = "50000 <--> 198.51.100.7:443 ESTABLISHED",
                  Local = "50001 <--> 127.0.0.1:8080 ESTABLISHED";

struct FakeMessages : Messages {
    void Show(const std::string& text) override { Shown.push_back(text); }
    bool Confirm(const std::string& text) override { return Asked.push_back(text), Answer; }
    Lines Shown, Asked;
    bool Answer = true;
};

// The window as start-up leaves it, over a scripted table, one host address and rules in memory.
class Window : public ::testing::Test {
protected:
    void SetUp() override {
        store.Values = {{AllowedIPKey, "127.0.0.1"},
                        {BlockedLocalPortsKey, "445,445,139"},
                        {BlockedRemotePortsKey, "22"}};
        hosts.Result.Addresses = {testing::Ip("192.0.2.5")};
        table.Connections = {Established(50000, "198.51.100.7", 443, 1),
                             Established(50001, "127.0.0.1", 8080, 2),
                             testing::Row(10, "0.0.0.0", 80, "0.0.0.0", 0, 3)};
        oManager.LoadSettings();
        window.TrayAvailable = [this] { return trayAvailable; };
        window.Form_Load();
        oManager.oMainForm = &window;
        oManager.SetCurrentMode(ModeCurrentConnections);
        oManager.RefreshLocalIPList();
        engine.ProcessTcpTable({});
        window.RefreshConnectionsIfChanged();
    }
    void TearDown() override { oManager.oMainForm = nullptr; }

    Lines Shown() const {
        Lines lines;
        for (int i = 0; i < window.lstMain.count(); ++i)
            lines.push_back(window.lstMain.item(i)->text().toStdString());
        return lines;
    }
    // A button clicks under the pointer, as a user's does.
    void Click(QWidget& button) {
        QTest::mouseMove(&button, QPoint(5, 5));
        QTest::mouseClick(&button, Qt::LeftButton, {}, QPoint(5, 5));
    }
    // Right-clicks entry row (-1: below the entries); whether the menu offered Delete enabled,
    // which is then chosen.
    bool RightClickAndDelete(int row) {
        window.lstMain.setCurrentRow(row);
        bool offered = false;
        QTimer::singleShot(0, [&] {
            auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
            ASSERT_TRUE(menu && menu->actions().value(0)->text() == "Delete");
            if ((offered = menu->actions()[0]->isEnabled()))
                menu->actions()[0]->trigger();
            menu->close();
        });
        QTest::mouseRelease(window.lstMain.viewport(), Qt::RightButton, {}, QPoint(5, 5));
        return offered;
    }

    testing::FakeTable table;
    testing::FakeHosts hosts;
    testing::MapStore store;
    FakeMessages messages;
    Engine engine{table, hosts, store};
    Manager& oManager = engine.oManager;
    bool bQuit = false, trayAvailable = true;
    frmMain window{oManager, bQuit, messages};
};

TEST_F(Window, EveryControlSitsWhereTheDesignPutsItInTabOrder) {
    auto& w = window;
    EXPECT_EQ(w.size(), QSize(564, 518));
    EXPECT_EQ(w.minimumSize(), w.maximumSize());
    EXPECT_TRUE(w.windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(w.windowFlags() & Qt::WindowMaximizeButtonHint);
    // Loading carries the short caption; start-up then sets the full title.
    EXPECT_EQ(w.windowTitle(), "Virel Quarnel v1.2 Build 38");
    EXPECT_EQ(BuildAppTitle(), "Virel Quarnel v.1.2   (build 38)");

    const char *ms = "MS Sans Serif 9.75", *bold = "Arial 9.75 bold";
    const struct {
        QWidget* widget;
        QWidget* container;
        QRect twips;
        const char* caption;  // the heading shows the first view's by now
        const char* font;     // family, points and " bold"
        int tab;              // -1 for a frame, which only holds controls
    } design[] = {
        // clang-format off
        {&w.txtHead, &w, {90, 90, 4545, 360}, "Current Connections", bold, 1},
        {&w.lstMain, &w, {90, 390, 4545, 6555}, "", "Arial 9", 0},
        {&w.txtItem, &w, {90, 6960, 3795, 375}, "", "Arial 8.25", 3},
        {&w.cmdAdd, &w, {3900, 6960, 735, 405}, "Add", ms, 2},
        {&w.Frame1, &w, {5010, 60, 3375, 1125}, "Connections ", bold, -1},
        {&w.cmdCurrentConnections, &w.Frame1, {300, 390, 2745, 495}, "Show Current Connections",
         ms, 7},
        {&w.chkShowX, &w, {5220, 1320, 2835, 240}, "Show only connected ports", "Arial 9.75", 4},
        {&w.chkHideLocal, &w, {5220, 1680, 2835, 240}, "Hide Local Connections", "Arial 9.75", 5},
        {&w.Frame2, &w, {5010, 2130, 3375, 1875}, "Blocked Ports ", bold, -1},
        {&w.cmdBlockedLocal, &w.Frame2, {300, 480, 2745, 495}, "Blocked Local Ports", ms, 9},
        {&w.cmdBlockedRemote, &w.Frame2, {300, 1020, 2745, 495}, "Blocked Remote Ports", ms, 10},
        {&w.Frame3, &w, {5010, 4170, 3375, 1215}, "Allowed IPs", bold, -1},
        {&w.cmdAllowedIP, &w.Frame3, {270, 390, 2745, 495}, "Allowed IP Addreses", ms, 12},
        {&w.Frame4, &w, {5010, 5610, 3375, 1755}, "Local IPs", bold, -1},
        {&w.cmdLocalIP, &w.Frame4, {240, 420, 2745, 495}, "Local IP Addresses", ms, 14},
        {&w.cmdAddLocal, &w.Frame4, {240, 960, 2745, 495}, "Add Local IPs to Allowed", ms, 15},
        // clang-format on
    };
    std::map<int, QWidget*> byTab;
    for (const auto& c : design) {
        SCOPED_TRACE(c.caption);
        const QRect& t = c.twips;
        EXPECT_EQ(c.widget->geometry(),
                  QRect(t.x() / 15, t.y() / 15, t.width() / 15, t.height() / 15));
        EXPECT_EQ(c.widget->parentWidget(), c.container);
        auto* command = qobject_cast<Command*>(c.widget);
        const char* text = qobject_cast<QGroupBox*>(c.widget) ? "title" : "text";
        EXPECT_EQ(command ? command->Caption() : c.widget->property(text).toString(), c.caption);
        const QFont& f = c.widget->font();
        EXPECT_EQ(
            QString("%1 %2%3").arg(f.family()).arg(f.pointSizeF()).arg(f.bold() ? " bold" : ""),
            c.font);
        byTab[c.tab] = c.widget;
    }
    // Tab walks the controls in the design's order, passing over the frames.
    QWidget* at = byTab[0];
    for (auto next = byTab.upper_bound(0); next != byTab.end(); ++next) {
        do {
            at = at->nextInFocusChain();
        } while (at->focusPolicy() == Qt::NoFocus);
        EXPECT_EQ(at, next->second) << "tab " << next->first;
    }
    EXPECT_TRUE(w.chkShowX.isChecked() && w.chkHideLocal.isChecked());
}

TEST_F(Window, ViewButtonsShowTheirListAndEditingStateAndDeleteTakesOneEntry) {
    const std::tuple<Command&, const char*, Lines, bool> views[] = {
        {window.cmdLocalIP, "Local IP Addresses", {"192.0.2.5"}, false},
        {window.cmdAllowedIP, "Allowed IP Addresses", {"127.0.0.1"}, true},
        {window.cmdBlockedLocal, "Blocked Local Ports", {"445", "445", "139"}, true},
        {window.cmdBlockedRemote, "Blocked Remote Ports", {"22"}, true},
        {window.cmdCurrentConnections, "Current Connections", {Web}, false},
    };
    for (const auto& [button, heading, lines, editing] : views) {
        SCOPED_TRACE(heading);
        Click(button);
        EXPECT_EQ(window.txtHead.text(), heading);
        EXPECT_EQ(Shown(), lines);
        EXPECT_EQ(window.txtItem.isEnabled(), editing);
        EXPECT_EQ(window.cmdAdd.Enabled(), editing);
        EXPECT_EQ(RightClickAndDelete(-1), editing);
    }
    Click(window.cmdBlockedLocal);
    EXPECT_TRUE(RightClickAndDelete(1));
    EXPECT_EQ(Shown(), (Lines{"445", "139"}));
    EXPECT_EQ(store.Values[BlockedLocalPortsKey], "445,139");
}

TEST_F(Window, AddRefusesInvalidEntriesAndStoresValidOnesPlainly) {
    // The view, what is typed, the message (none: nullptr) and the list then.
    const std::tuple<Command&, const char*, const char*, Lines> cases[] = {
        {window.cmdAllowedIP, "1.2.3", InvalidIPText, {"127.0.0.1"}},
        {window.cmdAllowedIP, "1.2.x.256", InvalidIPText, {"127.0.0.1"}},
        {window.cmdAllowedIP, "   ", nullptr, {"127.0.0.1"}},
        {window.cmdAllowedIP, " +010.000. 0.001 ", nullptr, {"127.0.0.1", "10.0.0.1"}},
        {window.cmdAllowedIP, "10.0.0.01", nullptr, {"127.0.0.1", "10.0.0.1"}},
        {window.cmdBlockedRemote, "0", InvalidPortText, {"22"}},
        {window.cmdBlockedRemote, "65536", InvalidPortText, {"22"}},
        {window.cmdBlockedLocal, "80.5", nullptr, {"445", "445", "139", "80"}},
        {window.cmdBlockedLocal, "139", nullptr, {"445", "445", "139", "80"}},
    };
    for (const auto& [view, typed, message, lines] : cases) {
        SCOPED_TRACE(typed);
        Click(view);
        messages.Shown.clear();
        store.Values.clear();
        window.txtItem.setText(typed);
        Click(window.cmdAdd);
        EXPECT_EQ(messages.Shown, message ? Lines{message} : Lines{});
        EXPECT_EQ(Shown(), lines);
        EXPECT_EQ(window.txtItem.text(), typed);
        // Saved after every accepted entry, a duplicate too; never after a refusal or nothing.
        const bool saved = message == nullptr && QString(typed).trimmed() != "";
        EXPECT_EQ(store.Values.size(), saved ? 3u : 0u);
    }
}

TEST_F(Window, AddLocalIPsAsksAndAddsOnOKWithoutSavingUntilTheClose) {
    Click(window.cmdAllowedIP);
    store.Values.clear();
    for (const bool ok : {false, true}) {
        messages.Answer = ok;
        Click(window.cmdAddLocal);
        EXPECT_EQ(messages.Asked.back(), AddLocalIPsQuestion);
        EXPECT_EQ(Shown(), ok ? (Lines{"127.0.0.1", "192.0.2.5"}) : Lines{"127.0.0.1"});
        EXPECT_TRUE(store.Values.empty());
    }
    window.close();
    EXPECT_TRUE(bQuit);
    EXPECT_EQ(store.Values[AllowedIPKey], "127.0.0.1,192.0.2.5");
}

TEST_F(Window, CheckBoxesFilterWithinOneTickAndTheTimerReloadsOnlyAChangedConnectionView) {
    const std::pair<QCheckBox*, Lines> steps[] = {
        {&window.chkShowX, {Web, "80 LAST_ACK"}},
        {&window.chkHideLocal, {Web, Local, "80 LAST_ACK"}},
        {&window.chkShowX, {Web, Local}},
    };
    for (const auto& [box, lines] : steps) {
        QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(4, box->height() / 2));
        window.RefreshConnectionsIfChanged();
        EXPECT_EQ(Shown(), lines);
    }
    window.lstMain.item(0)->setText("as shown");
    window.RefreshConnectionsIfChanged();
    EXPECT_EQ(Shown(), (Lines{"as shown", Local}));  // unchanged lines: no reload
    table.Connections.push_back(Established(50002, "203.0.113.9", 25, 4));
    engine.ProcessTcpTable({});
    window.RefreshConnectionsIfChanged();
    EXPECT_EQ(Shown().size(), 3u);

    Click(window.cmdBlockedRemote);
    table.Connections.pop_back();
    engine.ProcessTcpTable({});
    window.RefreshConnectionsIfChanged();
    EXPECT_EQ(Shown(), Lines{"22"});  // other views are left alone
}

// Shown again from the tray, every button is initialised, which leaves even a disabled one idle;
// the focus coming back alone does not.
TEST_F(Window, MinimiseHidesOnlyWithATrayWhoseClicksBringItBackActivated) {
    QEvent activate(QEvent::WindowActivate);
    QApplication::sendEvent(&window, &activate);
    EXPECT_EQ(window.cmdAdd.CurrentState(), StateDisabled);  // the connection view edits nothing
    enum Start { Open, Hidden, MinimisedShown };
    using Tray = QSystemTrayIcon;
    // How the window was, the click on the icon, and whether it is then visible and minimised.
    const std::tuple<Start, Tray::ActivationReason, bool, bool> cases[] = {
        {Hidden, Tray::Trigger, true, false},         {Hidden, Tray::DoubleClick, true, false},
        {Hidden, Tray::Context, true, true},          {Hidden, Tray::MiddleClick, false, true},
        {MinimisedShown, Tray::Trigger, true, false}, {Open, Tray::Context, true, false},
    };
    for (const auto& [start, reason, visible, minimised] : cases) {
        SCOPED_TRACE(int(reason));
        window.showNormal();
        trayAvailable = start == Hidden;
        if (start != Open) {
            window.setWindowState(window.windowState() | Qt::WindowMinimized);  // as a desktop does
            EXPECT_EQ(window.isVisible(), !trayAvailable);
        }
        emit window.TrayIcon.activated(reason);
        EXPECT_EQ(window.isVisible(), visible);
        EXPECT_EQ(window.isMinimized(), minimised);
    }
    EXPECT_EQ(window.cmdAdd.CurrentState(), StateNormal);
    EXPECT_EQ(window.TrayIcon.toolTip(), "Virel Quarnel");
    EXPECT_EQ(window.TrayIcon.icon().cacheKey(), window.windowIcon().cacheKey());
}

}  // namespace
}  // namespace quarnel
