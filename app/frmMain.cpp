#include "app/frmMain.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QHelpEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QScreen>
#include <QStyle>
#include <QToolTip>

#include <algorithm>
#include <utility>

#include "app/AppIdentity.h"
#include "app/ListEditing.h"
#include "app/WindowFonts.h"
#include "app/WindowIcon.h"
#include "controls/qt/PropertyStore.h"

namespace quarnel {

namespace {

const QColor FormBackground(251, 253, 251);

// The window is laid out in twips, 15 to a pixel.
QRect Twips(int left, int top, int width, int height) {
    return {left / 15, top / 15, width / 15, height / 15};
}

void SetColour(QWidget& widget, QPalette::ColorRole role, const QColor& colour) {
    QPalette palette = widget.palette();
    palette.setColor(role, colour);
    widget.setPalette(palette);
}

void PlaceCommand(Command& button, const char* caption, const QRect& where) {
    button.ReadProperties(PropertyStore{{"caption", caption}, {"font", ButtonFont()}});
    button.setGeometry(where);
}

void PlaceFrame(QGroupBox& frame, const char* caption, const QColor& captionColour,
                const QRect& where) {
    frame.setTitle(caption);
    frame.setFont(Arial(9.75, true));
    SetColour(frame, QPalette::WindowText, captionColour);
    frame.setGeometry(where);
}

// The check boxes keep the system's window colours, not the form's.
void PlaceCheckBox(QCheckBox& box, const char* caption, const QRect& where) {
    box.setText(caption);
    box.setFont(Arial(9.75, false));
    box.setChecked(true);
    box.setAutoFillBackground(true);
    box.setBackgroundRole(QPalette::Base);
    box.setForegroundRole(QPalette::Text);
    box.setGeometry(where);
}

}  // namespace

frmMain::frmMain(Manager& manager, bool& quit, Messages& messages)
    : QWidget(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                           Qt::WindowCloseButtonHint),
      oManager(manager),
      bQuit(quit),
      userMessages_(messages) {
    CreateControls();
    ConnectHandlers();
}

frmMain::~frmMain() {
    // The list's viewport outlives the list's own destructor; its last events are not ours.
    lstMain.viewport()->removeEventFilter(this);
    lstMain.removeEventFilter(this);
}

void frmMain::CreateControls() {
    setObjectName("frmMain");
    setFixedSize(564, 518);  // 8460 x 7770 twips
    SetColour(*this, QPalette::Window, FormBackground);
    setAutoFillBackground(true);
    setWindowIcon(WindowIcon());

    txtHead.setGeometry(Twips(90, 90, 4545, 360));
    txtHead.setText("Choose...");
    txtHead.setFont(Arial(9.75, true));
    txtHead.setReadOnly(true);  // a heading, not an entry
    SetColour(txtHead, QPalette::Base, FormBackground);

    lstMain.setGeometry(Twips(90, 390, 4545, 6555));
    lstMain.setFont(Arial(9, false));
    lstMain.setSelectionMode(QAbstractItemView::SingleSelection);
    lstMain.setSortingEnabled(false);
    // A long line (an IPv6 connection) stays whole: the list scrolls sideways instead.
    lstMain.setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    SetColour(lstMain, QPalette::Base, FormBackground);
    SetColour(lstMain, QPalette::Text, Qt::black);
    lstMain.viewport()->installEventFilter(this);
    lstMain.installEventFilter(this);

    txtItem.setGeometry(Twips(90, 6960, 3795, 375));
    txtItem.setFont(Arial(8.25, false));
    PlaceCommand(cmdAdd, "Add", Twips(3900, 6960, 735, 405));

    PlaceFrame(Frame1, "Connections ", QColor(29, 128, 175), Twips(5010, 60, 3375, 1125));
    PlaceCommand(cmdCurrentConnections, "Show Current Connections", Twips(300, 390, 2745, 495));
    PlaceCheckBox(chkShowX, "Show only connected ports", Twips(5220, 1320, 2835, 240));
    PlaceCheckBox(chkHideLocal, "Hide Local Connections", Twips(5220, 1680, 2835, 240));
    PlaceFrame(Frame2, "Blocked Ports ", QColor(192, 0, 0), Twips(5010, 2130, 3375, 1875));
    PlaceCommand(cmdBlockedLocal, "Blocked Local Ports", Twips(300, 480, 2745, 495));
    PlaceCommand(cmdBlockedRemote, "Blocked Remote Ports", Twips(300, 1020, 2745, 495));
    PlaceFrame(Frame3, "Allowed IPs", QColor(0, 128, 0), Twips(5010, 4170, 3375, 1215));
    PlaceCommand(cmdAllowedIP, "Allowed IP Addreses", Twips(270, 390, 2745, 495));
    PlaceFrame(Frame4, "Local IPs", QColor(50, 102, 239), Twips(5010, 5610, 3375, 1755));
    PlaceCommand(cmdLocalIP, "Local IP Addresses", Twips(240, 420, 2745, 495));
    PlaceCommand(cmdAddLocal, "Add Local IPs to Allowed", Twips(240, 960, 2745, 495));

    // Tab order: the list first, then the heading, the entry row, the filters, the buttons.
    QWidget* const order[] = {&lstMain,
                              &txtHead,
                              &cmdAdd,
                              &txtItem,
                              &chkShowX,
                              &chkHideLocal,
                              &cmdCurrentConnections,
                              &cmdBlockedLocal,
                              &cmdBlockedRemote,
                              &cmdAllowedIP,
                              &cmdLocalIP,
                              &cmdAddLocal};
    for (std::size_t i = 1; i < std::size(order); ++i) {
        setTabOrder(order[i - 1], order[i]);
    }
    lstMain.setFocus();

    mnuDelete = mnuListBox.addAction("Delete");
    TimerListRefresh.setInterval(RefreshInterval);
    TimerListRefresh.start();
}

void frmMain::ConnectHandlers() {
    const std::pair<Command*, ViewMode> views[] = {{&cmdCurrentConnections, ModeCurrentConnections},
                                                   {&cmdLocalIP, ModeLocalIP},
                                                   {&cmdAllowedIP, ModeAllowedIP},
                                                   {&cmdBlockedLocal, ModeBlockedLocalPorts},
                                                   {&cmdBlockedRemote, ModeBlockedRemotePorts}};
    for (const auto& [button, mode] : views) {
        connect(button, &Command::Click, this,
                [this, mode = mode] { oManager.SetCurrentMode(mode); });
    }
    connect(&cmdAdd, &Command::Click, this, &frmMain::cmdAdd_Click);
    // Enter in the entry box does what the button beside it does.
    connect(&txtItem, &QLineEdit::returnPressed, this, &frmMain::cmdAdd_Click);
    connect(&cmdAddLocal, &Command::Click, this, [this] { AddLocalIPs(oManager, userMessages_); });
    // The list box follows the rebuilt lines at the next timer tick.
    connect(&chkShowX, &QCheckBox::toggled, this, [this] { oManager.RefreshCurrentConnections(); });
    connect(&chkHideLocal, &QCheckBox::toggled, this,
            [this] { oManager.RefreshCurrentConnections(); });
    connect(mnuDelete, &QAction::triggered, this, &frmMain::mnuDelete_Click);
    connect(&TimerListRefresh, &QTimer::timeout, this, &frmMain::RefreshConnectionsIfChanged);
    connect(&TrayIcon, &QSystemTrayIcon::activated, this, &frmMain::TrayIcon_Activated);
    connect(&TrayWatch, &QTimer::timeout, this, &frmMain::WatchTray);
}

void frmMain::cmdAdd_Click() {
    AddToCurrentList(oManager, txtItem.text().toStdString(), userMessages_);
}

void frmMain::mnuDelete_Click() {
    DeleteSelectedItem(oManager, lstMain);
    // The entries below the deleted one moved up: whatever sits in its row now, the user never
    // picked it, and a second Delete must not take it.
    lstMain.selectionModel()->clear();
}

void frmMain::Form_Load() {
    setWindowTitle(QString::fromStdString(LoadCaption()));
    SetCommandButtons(true, true);
    // Centred on the screen the first time it shows.
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        setGeometry(QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, size(),
                                        screen->availableGeometry()));
    }
    TrayOn();
}

void frmMain::SetCommandButtons(bool bInitialize, bool bEnabled) {
    for (Command* button : findChildren<Command*>()) {
        if (bInitialize) {
            button->Initialize();
        } else {
            button->SetEnabled(bEnabled);
        }
    }
}

void frmMain::RefreshConnectionsIfChanged() {
    // Nobody sees the list box of a hidden window: its lines are built once it shows again.
    if (oManager.CurrentMode != ModeCurrentConnections || !isVisible() || isMinimized()) {
        return;
    }
    oManager.RefreshCurrentConnectionsIfStale();
    const List& lines = oManager.oCurrentConnections;
    List& shown = oManager.oCurrentConnectionsCached;
    const std::int32_t count = lines.GetItemCount();
    const std::int32_t had = shown.GetItemCount();
    if (lstMain.count() != had) {
        // The list box shows something else than the copy: filled afresh.
        shown.Reset();
        for (std::int32_t i = 0; i < count; ++i) {
            (void)shown.AddItem(lines.GetItem(i));  // text into a text list always fits
        }
        oManager.RefreshCurrentMode();
        return;
    }
    // Only the items that differ change, in the copy as in the list box: a few changed rows of
    // a long table cost a few items, and the list box ends up as a refill would leave it.
    for (std::int32_t i = 0; i < std::min(count, had); ++i) {
        Value line = lines.GetItem(i);
        if (line != shown.GetItem(i)) {
            lstMain.item(i)->setText(QString::fromStdString(ValueText(line)));
            (void)shown.SetItem(i, line);
        }
    }
    if (had > count) {
        (void)shown.DeleteLastItems(had - count);
        while (lstMain.count() > count) {
            delete lstMain.takeItem(lstMain.count() - 1);  // takeItem hands the item over
        }
    }
    for (std::int32_t i = had; i < count; ++i) {
        const Value line = lines.GetItem(i);
        (void)shown.AddItem(line);
        lstMain.addItem(QString::fromStdString(ValueText(line)));
    }
}

void frmMain::BringToFront() {
    showingMinimised_ = false;
    setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
    raise();
    activateWindow();
}

void frmMain::Form_QueryUnload() {
    (void)oManager.SaveSettings();  // a failure has been told; the close goes on regardless
    bQuit = true;
}

void frmMain::Form_Resize() {
    // A right click on the icon shows the window minimised: a restore that follows at once is
    // the window manager's, not the user's.
    constexpr qint64 kOwnRestore = 1000;  // ms
    if (showingMinimised_ && !isMinimized() && showingMinimisedSince_.elapsed() < kOwnRestore) {
        showMinimized();  // minimised again, and kept visible below
        return;
    }
    if (isMinimized() && std::exchange(showingMinimised_, false)) {
        return;
    }
    showingMinimised_ = false;
    if (isMinimized()) {
        // Hidden, it leaves the task bar and comes back through the notification icon only;
        // without a notification area it stays in the task bar.
        if (TrayAvailable()) {
            hide();
            TrayWatch.start(1000);
        }
    } else if (isVisible() && windowState() == Qt::WindowNoState) {
        oManager.RefreshCurrentConnections();
    }
}

void frmMain::ClearList() {
    lstMain.clear();
}

void frmMain::AppendToList(const std::string& text) {
    lstMain.addItem(QString::fromStdString(text));
}

void frmMain::SetHeading(const std::string& text) {
    txtHead.setText(QString::fromStdString(text));
}

void frmMain::SetEditingEnabled(bool enabled) {
    mnuDelete->setEnabled(enabled);
    txtItem.setEnabled(enabled);
    cmdAdd.SetEnabled(enabled);
}

Value frmMain::ShowOnlyConnectedValue() const {
    return std::int16_t{chkShowX.isChecked()};
}

Value frmMain::HideLocalValue() const {
    return std::int16_t{chkHideLocal.isChecked()};
}

void frmMain::ShowMessage(const std::string& text) {
    userMessages_.Show(text);
}

void frmMain::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange) {
        Form_Resize();
    }
}

void frmMain::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // Form_Activate, when the program shows the window: first, and again after hiding it. The
    // desktop's own show of a restore and a mere return of the focus are no activation.
    if (!event->spontaneous()) {
        SetCommandButtons(true, true);  // every button is initialised
    }
    if (!firstShown_) {
        firstShown_ = true;
        Form_Resize();
    }
    // The list box was left alone while hidden: it catches up now, not at the next tick.
    RefreshConnectionsIfChanged();
}

void frmMain::closeEvent(QCloseEvent* event) {
    Form_QueryUnload();
    event->accept();  // never refused
}

bool frmMain::eventFilter(QObject* watched, QEvent* event) {
    if (watched == lstMain.viewport() && event->type() == QEvent::MouseButtonRelease) {
        const auto* mouse = static_cast<QMouseEvent*>(event);
        lstMain_MouseUp(mouse->button(), mouse->globalPosition().toPoint());
        // After the menu the release is not the list's: it would select whatever entry now
        // lies under the pointer, one the user never picked.
        return mouse->button() == Qt::RightButton;
    }
    if (watched == &lstMain && event->type() == QEvent::KeyPress) {
        return lstMain_KeyDown(static_cast<QKeyEvent*>(event)->key());
    }
    if (watched == lstMain.viewport() && event->type() == QEvent::ToolTip) {
        const auto* help = static_cast<QHelpEvent*>(event);
        const QString text = ConnectionToolTip(help->pos());
        if (text.isEmpty()) {
            QToolTip::hideText();
        } else {
            QToolTip::showText(help->globalPos(), text, lstMain.viewport());
        }
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

QString frmMain::ConnectionToolTip(const QPoint& position) const {
    const QListWidgetItem* item = lstMain.itemAt(position);
    if (item == nullptr || oManager.CurrentMode != ModeCurrentConnections) {
        return {};
    }
    const std::optional<platform::ConnectionOwner> owner =
        oManager.OwnerOfConnectionLine(lstMain.row(item));
    if (!owner) {
        return {};
    }
    if (!owner->Known()) {
        // It ended, no process holds it, or this user may not see the one that does.
        return QStringLiteral("Program: unknown");
    }
    const std::string user = UserName ? UserName(owner->Uid) : std::to_string(owner->Uid);
    return QStringLiteral("Program: %1\nProcess ID: %2\nUser: %3")
        .arg(QString::fromUtf8(owner->CommandText().data(),
                               static_cast<qsizetype>(owner->CommandText().size())))
        .arg(owner->Pid)
        .arg(QString::fromStdString(user));
}

bool frmMain::lstMain_KeyDown(int key) {
    switch (key) {
        case Qt::Key_Delete:
            if (mnuDelete->isEnabled()) {
                mnuDelete->trigger();
            }
            return true;
        case Qt::Key_Menu: {
            // The pop-up menu from the keyboard, at the current entry or the list's corner.
            const QListWidgetItem* current = lstMain.currentItem();
            const QPoint where =
                current != nullptr ? lstMain.visualItemRect(current).bottomLeft() : QPoint();
            (void)mnuListBox.exec(lstMain.viewport()->mapToGlobal(where));
            return true;
        }
        default:
            return false;
    }
}

void frmMain::lstMain_MouseUp(Qt::MouseButton button, const QPoint& globalPosition) {
    if (button == Qt::RightButton) {
        (void)mnuListBox.exec(globalPosition);  // Delete runs through its own handler
    }
}

}  // namespace quarnel
