#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QTest>
#include <QTimer>

#include "app/ListEditing.h"
#include "app/frmMain.h"
#include "engine/Settings.h"
#include "tests/engine/TestEngine.h"

namespace quarnel {
namespace {

using testing::Established;
using testing::Row;

struct FakeMessages : Messages {
    void Show(const std::string& text) override { Shown.push_back(text); }
    bool Confirm(const std::string& text) override { return Asked.push_back(text), Answer; }
    std::vector<std::string> Shown, Asked;
    bool Answer = true;
};

// The window over an engine with a scripted table, one host address and rules in memory.
class Window : public ::testing::Test {
protected:
    void SetUp() override {
        store.Values = {{AllowedIPKey, "127.0.0.1"},
                        {BlockedLocalPortsKey, "445,445,139"},
                        {BlockedRemotePortsKey, "22"}};
        hosts.Result.Addresses = {testing::Ip("192.0.2.5")};
        table.Connections = {Established(50000, "198.51.100.7", 443, 1),
                             Established(50001, "127.0.0.1", 8080, 2),
                             Row(10, "0.0.0.0", 80, "0.0.0.0", 0, 3)};
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

    std::vector<std::string> Shown() const {
        std::vector<std::string> lines;
        for (int i = 0; i < window.lstMain.count(); ++i) {
            lines.push_back(window.lstMain.item(i)->text().toStdString());
        }
        return lines;
    }
    // A button clicks under the pointer, as a user's does.
    void Click(QWidget& button) {
        QTest::mouseMove(&button, QPoint(5, 5));
        QTest::mouseClick(&button, Qt::LeftButton, {}, QPoint(5, 5));
    }
    void Add(const char* text) {
        window.txtItem.setText(text);
        Click(window.cmdAdd);
    }
    // As the desktop minimises a window: its state changes while it is shown.
    void Minimise() { window.setWindowState(window.windowState() | Qt::WindowMinimized); }
    // Right-clicks the list's entry at row (none when -1) and reports whether the pop-up menu
    // offered Delete enabled; chooses Delete when it was.
    bool RightClickAndDelete(int row) {
        window.lstMain.clearSelection();
        QPoint where(5, 200);
        if (row >= 0) {
            where = window.lstMain.visualItemRect(window.lstMain.item(row)).center();
        }
        bool offered = false;
        QTimer::singleShot(0, [&] {
            auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
            ASSERT_NE(menu, nullptr);
            QAction* remove = menu->actions().value(0);
            offered = remove != nullptr && remove->text() == "Delete" && remove->isEnabled();
            if (offered) {
                remove->trigger();
            }
            menu->close();
        });
        QTest::mouseClick(window.lstMain.viewport(), Qt::RightButton, {}, where);
        return offered;
    }

    testing::FakeTable table;
    testing::FakeHosts hosts;
    testing::MapStore store;
    FakeMessages messages;
    Engine engine{table, hosts, store};
    Manager& oManager = engine.oManager;
    bool bQuit = false;
    bool trayAvailable = true;
    frmMain window{oManager, bQuit, messages};
};

TEST(WindowLayout, EveryControlSitsWhereTheDesignPutsItInTabOrder) {
    testing::FakeTable table;
    testing::FakeHosts hosts;
    testing::MapStore store;
    FakeMessages messages;
    Engine engine{table, hosts, store};
    bool bQuit = false;
    frmMain w{engine.oManager, bQuit, messages};

    EXPECT_EQ(w.size(), QSize(564, 518));
    EXPECT_EQ(w.minimumSize(), w.maximumSize());
    EXPECT_TRUE(w.windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(w.windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_EQ(w.palette().color(QPalette::Window), QColor(251, 253, 251));

    const auto caption = [](QWidget* control) -> QString {
        if (auto* button = qobject_cast<Command*>(control))
            return button->Caption();
        if (auto* frame = qobject_cast<QGroupBox*>(control))
            return frame->title();
        if (auto* box = qobject_cast<QCheckBox*>(control))
            return box->text();
        if (auto* text = qobject_cast<QLineEdit*>(control))
            return text->text();
        return {};
    };
    struct Control {
        QWidget* widget;
        QWidget* container;
        QRect twips;
        const char* caption;
        int tab;  // -1: a frame, which only holds controls
    };
    const Control design[] = {
        {&w.txtHead, &w, {90, 90, 4545, 360}, "Choose...", 1},
        {&w.lstMain, &w, {90, 390, 4545, 6555}, "", 0},
        {&w.txtItem, &w, {90, 6960, 3795, 375}, "", 3},
        {&w.cmdAdd, &w, {3900, 6960, 735, 405}, "Add", 2},
        {&w.Frame1, &w, {5010, 60, 3375, 1125}, "Connections ", -1},
        {&w.cmdCurrentConnections, &w.Frame1, {300, 390, 2745, 495}, "Show Current Connections", 7},
        {&w.chkShowX, &w, {5220, 1320, 2835, 240}, "Show only connected ports", 4},
        {&w.chkHideLocal, &w, {5220, 1680, 2835, 240}, "Hide Local Connections", 5},
        {&w.Frame2, &w, {5010, 2130, 3375, 1875}, "Blocked Ports ", -1},
        {&w.cmdBlockedLocal, &w.Frame2, {300, 480, 2745, 495}, "Blocked Local Ports", 9},
        {&w.cmdBlockedRemote, &w.Frame2, {300, 1020, 2745, 495}, "Blocked Remote Ports", 10},
        {&w.Frame3, &w, {5010, 4170, 3375, 1215}, "Allowed IPs", -1},
        {&w.cmdAllowedIP, &w.Frame3, {270, 390, 2745, 495}, "Allowed IP Addreses", 12},
        {&w.Frame4, &w, {5010, 5610, 3375, 1755}, "Local IPs", -1},
        {&w.cmdLocalIP, &w.Frame4, {240, 420, 2745, 495}, "Local IP Addresses", 14},
        {&w.cmdAddLocal, &w.Frame4, {240, 960, 2745, 495}, "Add Local IPs to Allowed", 15},
    };
    std::map<int, QWidget*> byTab;
    for (const Control& c : design) {
        SCOPED_TRACE(c.caption);
        EXPECT_EQ(c.widget->parentWidget(), c.container);
        const QRect& t = c.twips;
        EXPECT_EQ(c.widget->geometry(),
                  QRect(t.x() / 15, t.y() / 15, t.width() / 15, t.height() / 15));
        EXPECT_EQ(caption(c.widget), c.caption);
        if (c.tab >= 0) {
            byTab[c.tab] = c.widget;
        }
    }
    // Tab moves through the controls in the design's order and comes back to the list.
    QWidget* at = byTab.begin()->second;
    for (auto next = std::next(byTab.begin()); next != byTab.end(); ++next) {
        do {
            at = at->nextInFocusChain();
        } while (at->focusPolicy() == Qt::NoFocus || qobject_cast<QGroupBox*>(at));
        EXPECT_EQ(at, next->second) << "tab " << next->first;
    }
    EXPECT_TRUE(w.chkShowX.isChecked() && w.chkHideLocal.isChecked());
    EXPECT_EQ(w.Frame1.palette().color(QPalette::WindowText), QColor(29, 128, 175));
    EXPECT_EQ(w.Frame2.palette().color(QPalette::WindowText), QColor(192, 0, 0));
    EXPECT_EQ(w.Frame3.palette().color(QPalette::WindowText), QColor(0, 128, 0));
    EXPECT_EQ(w.Frame4.palette().color(QPalette::WindowText), QColor(50, 102, 239));
    EXPECT_TRUE(w.TimerListRefresh.isActive());
    EXPECT_EQ(w.TimerListRefresh.interval(), 500);
}

TEST_F(Window, ViewButtonsShowTheirListHeadingAndEditingState) {
    EXPECT_EQ(window.windowTitle(), "Virel Quarnel v1.2 Build 38");  // until start-up's title
    EXPECT_TRUE(window.isVisible());
    const struct {
        Command& button;
        const char* heading;
        std::vector<std::string> lines;
        bool editing;
    } views[] = {
        {window.cmdLocalIP, "Local IP Addresses", {"192.0.2.5"}, false},
        {window.cmdAllowedIP, "Allowed IP Addresses", {"127.0.0.1"}, true},
        {window.cmdBlockedLocal, "Blocked Local Ports", {"445", "445", "139"}, true},
        {window.cmdBlockedRemote, "Blocked Remote Ports", {"22"}, true},
        {window.cmdCurrentConnections,
         "Current Connections",
         {"50000 <--> 198.51.100.7:443 ESTABLISHED"},
         false},
    };
    for (const auto& view : views) {
        SCOPED_TRACE(view.heading);
        Click(view.button);
        EXPECT_EQ(window.txtHead.text(), view.heading);
        EXPECT_EQ(Shown(), view.lines);
        EXPECT_EQ(window.txtItem.isEnabled(), view.editing);
        EXPECT_EQ(window.cmdAdd.Enabled(), view.editing);
        EXPECT_EQ(RightClickAndDelete(-1), view.editing);  // the menu's Delete
    }
}

TEST_F(Window, AddRefusesInvalidEntriesAndStoresValidOnesPlainly) {
    const struct {
        Command& view;
        const char* typed;
        const char* message;  // nullptr: none
        std::vector<std::string> lines;
    } cases[] = {
        {window.cmdAllowedIP, "1.2.3", InvalidIPText, {"127.0.0.1"}},
        {window.cmdAllowedIP, "1.2.3.4.5", InvalidIPText, {"127.0.0.1"}},
        {window.cmdAllowedIP, "1..3.4", InvalidIPText, {"127.0.0.1"}},
        {window.cmdAllowedIP, "1.2.3.256", InvalidIPText, {"127.0.0.1"}},
        {window.cmdAllowedIP, "1.2.x.4", InvalidIPText, {"127.0.0.1"}},
        {window.cmdAllowedIP, "   ", nullptr, {"127.0.0.1"}},
        {window.cmdAllowedIP, " 010.000.000.001 ", nullptr, {"127.0.0.1", "10.0.0.1"}},
        {window.cmdAllowedIP, "+1. 2.3.4", nullptr, {"127.0.0.1", "10.0.0.1", "1.2.3.4"}},
        {window.cmdAllowedIP, "10.0.0.01", nullptr, {"127.0.0.1", "10.0.0.1", "1.2.3.4"}},
        {window.cmdBlockedRemote, "0", InvalidPortText, {"22"}},
        {window.cmdBlockedRemote, "65536", InvalidPortText, {"22"}},
        {window.cmdBlockedRemote, "http", InvalidPortText, {"22"}},
        {window.cmdBlockedRemote, " 65535 ", nullptr, {"22", "65535"}},
        {window.cmdBlockedLocal, "80.5", nullptr, {"445", "445", "139", "80"}},
        {window.cmdBlockedLocal, "139", nullptr, {"445", "445", "139", "80"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.typed);
        Click(c.view);
        messages.Shown.clear();
        store.Values.clear();
        Add(c.typed);
        const std::vector<std::string> told =
            c.message ? std::vector<std::string>{c.message} : std::vector<std::string>{};
        EXPECT_EQ(messages.Shown, told);
        EXPECT_EQ(Shown(), c.lines);
        EXPECT_EQ(window.txtItem.text(), c.typed);  // the entry keeps its text
        // Saved after every accepted entry, a duplicate too; never after a refusal or nothing.
        const bool saved = c.message == nullptr && QString(c.typed).trimmed() != "";
        EXPECT_EQ(store.Values.size(), saved ? 3u : 0u);
    }
    EXPECT_EQ(store.Values[AllowedIPKey], "127.0.0.1,10.0.0.1,1.2.3.4");
}

TEST_F(Window, DeleteRemovesOneOccurrenceOfTheSelectedEntry) {
    Click(window.cmdBlockedLocal);
    store.Values.clear();
    EXPECT_TRUE(RightClickAndDelete(1));
    EXPECT_EQ(Shown(), (std::vector<std::string>{"445", "139"}));
    EXPECT_EQ(store.Values[BlockedLocalPortsKey], "445,139");
}

TEST_F(Window, AddLocalIPsAsksAndAddsOnlyOnOK) {
    for (const bool ok : {false, true}) {
        Click(window.cmdAllowedIP);
        messages.Answer = ok;
        store.Values.clear();
        Click(window.cmdAddLocal);
        EXPECT_EQ(messages.Asked.back(), AddLocalIPsQuestion);
        const std::vector<std::string> expected =
            ok ? std::vector<std::string>{"127.0.0.1", "192.0.2.5"}
               : std::vector<std::string>{"127.0.0.1"};
        EXPECT_EQ(Shown(), expected);
        EXPECT_TRUE(store.Values.empty());  // saved by the next edit or the close
    }
    window.close();
    EXPECT_TRUE(bQuit);
    EXPECT_EQ(store.Values[AllowedIPKey], "127.0.0.1,192.0.2.5");
}

TEST_F(Window, TheTimerReloadsOnlyAChangedConnectionView) {
    ASSERT_EQ(window.lstMain.count(), 1);
    window.lstMain.item(0)->setText("as shown");
    window.RefreshConnectionsIfChanged();
    EXPECT_EQ(Shown(), std::vector<std::string>{"as shown"});  // unchanged lines: no reload

    table.Connections.push_back(Established(50002, "203.0.113.9", 25, 4));
    engine.ProcessTcpTable({});
    window.RefreshConnectionsIfChanged();
    EXPECT_EQ(Shown(), (std::vector<std::string>{"50000 <--> 198.51.100.7:443 ESTABLISHED",
                                                 "50002 <--> 203.0.113.9:25 ESTABLISHED"}));

    Click(window.cmdBlockedRemote);
    table.Connections.pop_back();
    engine.ProcessTcpTable({});
    window.RefreshConnectionsIfChanged();
    EXPECT_EQ(Shown(), std::vector<std::string>{"22"});  // other views are left alone
}

TEST_F(Window, CheckBoxesChangeTheConnectionViewWithinOneTick) {
    const struct {
        QCheckBox& box;
        std::size_t lines;
    } steps[] = {{window.chkShowX, 2}, {window.chkHideLocal, 3}, {window.chkShowX, 2}};
    for (const auto& step : steps) {
        QTest::mouseClick(&step.box, Qt::LeftButton, {}, QPoint(4, step.box.height() / 2));
        window.RefreshConnectionsIfChanged();
        EXPECT_EQ(Shown().size(), step.lines);
    }
}

TEST_F(Window, MinimisingHidesOnlyWhereANotificationAreaBringsItBack) {
    for (const bool tray : {true, false}) {
        trayAvailable = tray;
        window.showNormal();
        Minimise();
        EXPECT_EQ(window.isVisible(), !tray);
        EXPECT_TRUE(window.isMinimized());
    }
}

TEST_F(Window, TrayClicksBringBackOnlyAMinimisedWindow) {
    enum Start { Open, Hidden, MinimisedShown };
    const struct {
        Start start;
        QSystemTrayIcon::ActivationReason reason;
        bool visible, minimised;
    } cases[] = {
        {Hidden, QSystemTrayIcon::Trigger, true, false},
        {Hidden, QSystemTrayIcon::DoubleClick, true, false},
        {Hidden, QSystemTrayIcon::Context, true, true},
        {Hidden, QSystemTrayIcon::MiddleClick, false, true},
        {MinimisedShown, QSystemTrayIcon::Trigger, true, false},
        {Open, QSystemTrayIcon::Context, true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(int(c.reason));
        window.showNormal();
        trayAvailable = c.start == Hidden;
        if (c.start != Open) {
            Minimise();
        }
        emit window.TrayIcon.activated(c.reason);
        EXPECT_EQ(window.isVisible(), c.visible);
        EXPECT_EQ(window.isMinimized(), c.minimised);
    }
    EXPECT_EQ(window.TrayIcon.toolTip(), "Virel Quarnel");
    EXPECT_EQ(window.TrayIcon.icon().cacheKey(), window.windowIcon().cacheKey());
}

TEST_F(Window, ClosingSavesAndQuitsEvenWhenTheListsCannotBeWritten) {
    store.FailWrites = true;
    store.Values.clear();
    window.close();
    EXPECT_TRUE(bQuit);
    EXPECT_FALSE(window.isVisible());
    EXPECT_EQ(messages.Shown, std::vector<std::string>{SaveFailedText(store.Location())});
}

}  // namespace
}  // namespace quarnel
