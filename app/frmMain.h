#pragma once

#include <QCheckBox>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <memory>
#include <optional>

#include "app/frmRecent.h"
#include "controls/qt/Command.h"
#include "engine/CloseRecords.h"
#include "engine/CloseReport.h"
#include "engine/Manager.h"
#include "engine/ManagerWindow.h"
#include "window/ConnectionActions.h"
#include "window/Layout.h"
#include "window/Messages.h"

namespace quarnel {

// The program's only window: the list of the view shown with its heading and entry field on
// the left, the view buttons in four frames and the two filters on the right. The Manager fills
// the list, the heading and the editing controls; the window holds no lists of its own.
class frmMain final : public QWidget, public ManagerWindow {
    Q_OBJECT

public:
    // Milliseconds between the refresh timer's looks at the connection lines.
    static constexpr int RefreshInterval = layout::ListRefreshInterval;

    // quit is the program's quit flag: set by the close request, never reset.
    frmMain(Manager& manager, bool& quit, Messages& messages);
    ~frmMain() override;

    // Sets the first caption, initialises the buttons, shows the window and adds the
    // notification icon.
    void Form_Load();
    // For every Command of the window: Initialize, or else set Enabled.
    void SetCommandButtons(bool bInitialize, bool bEnabled);
    // The refresh timer's work: reloads the connection view when its lines changed.
    void RefreshConnectionsIfChanged();
    // Restores the window, hidden or minimised, shows it and brings it to the front.
    void BringToFront();
    // The close request, whatever its cause: saves the rule lists and ends the main loop.
    void Form_QueryUnload();

    // ManagerWindow
    void ClearList() override;
    void AppendToList(const std::string& text) override;
    void SetHeading(const std::string& text) override;
    void SetEditingEnabled(bool enabled) override;
    Value ShowOnlyConnectedValue() const override;
    Value HideLocalValue() const override;
    void ShowMessage(const std::string& text) override;

    // What hovering the connection line at position (in the list box's viewport) shows: its
    // program, process and user; empty where no connection line is.
    QString ConnectionToolTip(const QPoint& position) const;
    // How the tooltip names an owner's user; without it, by number.
    UserNameOf UserName;

    // What the program can do to the connections the rules block, for the tray icon.
    enum class GuardMode { ClosesAndHoldsBack, Closes, OnlyShows };
    // Sets the mode the tray icon's tooltip and menu say.
    void SetGuardMode(GuardMode mode);
    // The closes the window tells of (the tray icon's count, notifications, the recent closes
    // window); none: nothing is told. They must outlive the window.
    void ShowClosesFrom(CloseRecords* records);
    // The closes timer's work: the tray icon's count follows the records, and the closes not yet
    // told make one notification, at most one every NoticeGap.
    void TellCloses();
    // Whether closes are told in notifications; the user switches it in the tray icon's menu.
    bool NotifyCloses() const { return mnuTrayNotify->isChecked(); }
    // The least time between two notifications of closes: a storm is told in a few.
    static constexpr int NoticeGap = 5000;  // ms
    // Shows the window of recent closes, opened once and then brought to the front.
    void ShowRecentCloses();
    // The text of the tray icon's tooltip.
    QString TrayToolTip() const;
    // Closes a connection now, for the connection menu (the table's source); without it, the
    // menu's close fails.
    CloseConnection CloseConnectionNow;
    // Told when the user switches notifications of closes on or off, to keep the choice.
    std::function<void(bool on)> NotifySwitched;
    // Says a notification through the tray icon (tests look at what was said).
    std::function<void(const QString& title, const QString& text)> Notify;

    // Whether the desktop has a notification area to bring the window back from.
    std::function<bool()> TrayAvailable = [] { return QSystemTrayIcon::isSystemTrayAvailable(); };
    // The tray watch's work while the window is hidden to its icon: a notification area that
    // went away leaves the window minimised in the task bar, not unreachable.
    void WatchTray();

    // Controls, declared containers first so that each is destroyed before its container.
    QLineEdit txtHead{this};
    QListWidget lstMain{this};
    QLineEdit txtItem{this};
    Command cmdAdd{this};
    QGroupBox Frame1{this};
    Command cmdCurrentConnections{&Frame1};
    QCheckBox chkShowX{this};
    QCheckBox chkHideLocal{this};
    QGroupBox Frame2{this};
    Command cmdBlockedLocal{&Frame2};
    Command cmdBlockedRemote{&Frame2};
    QGroupBox Frame3{this};
    Command cmdAllowedIP{&Frame3};
    QGroupBox Frame4{this};
    Command cmdLocalIP{&Frame4};
    Command cmdAddLocal{&Frame4};
    QTimer TimerListRefresh{this};
    QTimer TrayWatch{this};  // runs while the window is hidden to its icon
    QMenu mnuListBox{this};
    QAction* mnuDelete = nullptr;  // owned by mnuListBox
    QSystemTrayIcon TrayIcon{this};
    QMenu mnuTray{this};  // the tray icon's menu; its actions are owned by it
    QAction* mnuTrayMode = nullptr;
    QAction* mnuTrayCount = nullptr;
    QAction* mnuTrayShow = nullptr;
    QAction* mnuTrayRecent = nullptr;
    QAction* mnuTrayNotify = nullptr;
    QAction* mnuTrayQuit = nullptr;
    QTimer TimerCloses{this};
    QMenu mnuConnection{this};  // the menu of a connection line; its actions are owned by it
    QAction* mnuCloseNow = nullptr;
    QAction* mnuBlockLocalPort = nullptr;
    QAction* mnuBlockRemotePort = nullptr;
    QAction* mnuAllowRemoteAddress = nullptr;
    QAction* mnuConnectionRecent = nullptr;
    std::unique_ptr<frmRecent> RecentCloses;  // made when first asked for

protected:
    void changeEvent(QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void CreateControls();
    void ConnectHandlers();
    void Form_Resize();
    // Shows the window and adds the notification icon.
    void TrayOn();
    // What a mouse action on the notification icon does to a minimised window.
    void TrayIcon_Activated(QSystemTrayIcon::ActivationReason reason);
    void lstMain_MouseUp(Qt::MouseButton button, const QPoint& globalPosition);
    // Delete and the menu key on the list; true when the key was the list's.
    bool lstMain_KeyDown(int key);
    void cmdAdd_Click();
    void mnuDelete_Click();

    Manager& oManager;
    bool& bQuit;
    Messages& userMessages_;
    bool firstShown_ = false;
    // The menu of the list box at globalPosition, for the line (-1: none) it was opened on: a
    // connection line's menu in the connection view, Delete in the others.
    void ShowListMenu(int line, const QPoint& globalPosition);
    void CreateConnectionMenu();
    std::optional<platform::TcpRow> menuRow_;  // the row of the line the menu was opened on
    // Adds the tray icon's menu and its handlers.
    void CreateTrayMenu();
    // The tray icon's tooltip and the menu's status lines follow the mode and the count.
    void UpdateTrayStatus();
    GuardMode mode_ = GuardMode::Closes;
    CloseRecords* records_ = nullptr;
    std::uint64_t recordsSeen_ = 0;
    QElapsedTimer lastNotice_;
};

}  // namespace quarnel
