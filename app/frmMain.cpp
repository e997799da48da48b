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

#include "app/WindowFonts.h"
#include "app/WindowIcon.h"
#include "controls/qt/PropertyStore.h"
#include "window/AppIdentity.h"
#include "window/ConnectionActions.h"
#include "window/ConnectionView.h"
#include "window/Layout.h"
#include "window/ListEditing.h"

namespace quarnel {

namespace {

QColor ToQColor(layout::Colour colour) {
    return QColor(colour.Red, colour.Green, colour.Blue);
}

QRect ToQRect(const layout::Rect& twips) {
    const layout::Rect pixels = twips.Pixels();
    return {pixels.Left, pixels.Top, pixels.Width, pixels.Height};
}

void SetColour(QWidget& widget, QPalette::ColorRole role, const QColor& colour) {
    QPalette palette = widget.palette();
    palette.setColor(role, colour);
    widget.setPalette(palette);
}

void PlaceCommand(Command& button, const layout::Button& place) {
    button.ReadProperties(PropertyStore{{"caption", place.Caption}, {"font", ButtonFont()}});
    button.setGeometry(ToQRect(place.Where));
}

void PlaceFrame(QGroupBox& frame, const layout::Frame& place) {
    frame.setTitle(place.Caption);
    frame.setFont(Arial(layout::FrameFont.Points, layout::FrameFont.Bold));
    SetColour(frame, QPalette::WindowText, ToQColor(place.CaptionColour));
    frame.setGeometry(ToQRect(place.Where));
}

// The check boxes keep the system's window colours, not the form's.
void PlaceCheckBox(QCheckBox& box, const layout::Control& place) {
    box.setText(place.Caption);
    box.setFont(Arial(place.TextFont.Points, place.TextFont.Bold));
    box.setChecked(true);
    box.setAutoFillBackground(true);
    box.setBackgroundRole(QPalette::Base);
    box.setForegroundRole(QPalette::Text);
    box.setGeometry(ToQRect(place.Where));
}

// The list box as the connection view's refresh changes it.
class ListWidgetLines final : public ConnectionListBox {
public:
    explicit ListWidgetLines(QListWidget& list) : list_(list) {}

    std::int32_t LineCount() const override { return list_.count(); }
    void ReplaceLine(std::int32_t index, const std::string& text) override {
        list_.item(index)->setText(QString::fromStdString(text));
    }
    void AppendLine(const std::string& text) override {
        list_.addItem(QString::fromStdString(text));
    }
    void RemoveLinesFrom(std::int32_t index) override {
        while (list_.count() > index) {
            delete list_.takeItem(list_.count() - 1);  // takeItem hands the item over
        }
    }

private:
    QListWidget& list_;
};

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
    setFixedSize(ToQRect({0, 0, layout::ClientWidth, layout::ClientHeight}).size());
    const QColor formBackground = ToQColor(layout::FormBackground);
    SetColour(*this, QPalette::Window, formBackground);
    setAutoFillBackground(true);
    setWindowIcon(WindowIcon());

    txtHead.setGeometry(ToQRect(layout::txtHead.Where));
    txtHead.setText(layout::txtHead.Caption);
    txtHead.setFont(Arial(layout::txtHead.TextFont.Points, layout::txtHead.TextFont.Bold));
    txtHead.setReadOnly(true);  // a heading, not an entry
    SetColour(txtHead, QPalette::Base, formBackground);

    lstMain.setGeometry(ToQRect(layout::lstMain.Where));
    lstMain.setFont(Arial(layout::lstMain.TextFont.Points, layout::lstMain.TextFont.Bold));
    lstMain.setSelectionMode(QAbstractItemView::SingleSelection);
    lstMain.setSortingEnabled(false);
    // A long line (an IPv6 connection) stays whole: the list scrolls sideways instead.
    lstMain.setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    SetColour(lstMain, QPalette::Base, formBackground);
    SetColour(lstMain, QPalette::Text, Qt::black);
    lstMain.viewport()->installEventFilter(this);
    lstMain.installEventFilter(this);

    txtItem.setGeometry(ToQRect(layout::txtItem.Where));
    txtItem.setFont(Arial(layout::txtItem.TextFont.Points, layout::txtItem.TextFont.Bold));
    PlaceCommand(cmdAdd, layout::cmdAdd);

    PlaceFrame(Frame1, layout::Frame1);
    PlaceCommand(cmdCurrentConnections, layout::cmdCurrentConnections);
    PlaceCheckBox(chkShowX, layout::chkShowX);
    PlaceCheckBox(chkHideLocal, layout::chkHideLocal);
    PlaceFrame(Frame2, layout::Frame2);
    PlaceCommand(cmdBlockedLocal, layout::cmdBlockedLocal);
    PlaceCommand(cmdBlockedRemote, layout::cmdBlockedRemote);
    PlaceFrame(Frame3, layout::Frame3);
    PlaceCommand(cmdAllowedIP, layout::cmdAllowedIP);
    PlaceFrame(Frame4, layout::Frame4);
    PlaceCommand(cmdLocalIP, layout::cmdLocalIP);
    PlaceCommand(cmdAddLocal, layout::cmdAddLocal);

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

    mnuDelete = mnuListBox.addAction(layout::mnuDelete);
    CreateTrayMenu();
    CreateConnectionMenu();
    TimerListRefresh.setInterval(RefreshInterval);
    TimerListRefresh.start();
}

void frmMain::ConnectHandlers() {
    const std::pair<Command*, const layout::Button&> views[] = {
        {&cmdCurrentConnections, layout::cmdCurrentConnections},
        {&cmdLocalIP, layout::cmdLocalIP},
        {&cmdAllowedIP, layout::cmdAllowedIP},
        {&cmdBlockedLocal, layout::cmdBlockedLocal},
        {&cmdBlockedRemote, layout::cmdBlockedRemote}};
    for (const auto& [button, place] : views) {
        connect(button, &Command::Click, this,
                [this, mode = place.View] { oManager.SetCurrentMode(mode); });
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
    const QList<QListWidgetItem*> selected = lstMain.selectedItems();  // one at most
    DeleteSelectedItem(oManager,
                       selected.isEmpty() ? std::string() : selected.front()->text().toStdString());
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
    ListWidgetLines shown(lstMain);
    RefreshShownConnections(oManager, shown);
}

void frmMain::BringToFront() {
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
    return QString::fromStdString(
        OwnerToolTip(oManager.OwnerOfConnectionLine(lstMain.row(item)), UserName));
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
            ShowListMenu(current != nullptr ? lstMain.row(current) : -1,
                         lstMain.viewport()->mapToGlobal(where));
            return true;
        }
        default:
            return false;
    }
}

void frmMain::lstMain_MouseUp(Qt::MouseButton button, const QPoint& globalPosition) {
    if (button == Qt::RightButton) {
        const QListWidgetItem* item =
            lstMain.itemAt(lstMain.viewport()->mapFromGlobal(globalPosition));
        ShowListMenu(item != nullptr ? lstMain.row(item) : -1, globalPosition);
    }
}

void frmMain::ShowListMenu(int line, const QPoint& globalPosition) {
    if (oManager.CurrentMode != ModeCurrentConnections) {
        (void)mnuListBox.exec(globalPosition);  // Delete runs through its own handler
        return;
    }
    // The row the line was built from, as the list box shows it: the choices act on it even
    // should the list change while the menu is open.
    menuRow_ = line >= 0 ? oManager.RowOfShownLine(line) : std::nullopt;
    const ConnectionChoices choices = menuRow_ ? ChoicesFor(*menuRow_) : ConnectionChoices{};
    const std::pair<QAction*, const std::string&> offered[] = {
        {mnuCloseNow, choices.CloseNow},
        {mnuBlockLocalPort, choices.BlockLocalPort},
        {mnuBlockRemotePort, choices.BlockRemotePort},
        {mnuAllowRemoteAddress, choices.AllowRemoteAddress}};
    for (const auto& [action, text] : offered) {
        action->setText(QString::fromStdString(text));
        action->setVisible(!text.empty());
    }
    mnuConnectionRecent->setEnabled(records_ != nullptr);
    (void)mnuConnection.exec(globalPosition);  // each choice runs through its own handler
}

void frmMain::CreateConnectionMenu() {
    mnuCloseNow = mnuConnection.addAction(QString());
    mnuBlockLocalPort = mnuConnection.addAction(QString());
    mnuBlockRemotePort = mnuConnection.addAction(QString());
    mnuAllowRemoteAddress = mnuConnection.addAction(QString());
    mnuConnection.addSeparator();
    mnuConnectionRecent = mnuConnection.addAction(tr("Recent closes"));
    const auto onRow = [this](QAction* action, auto act) {
        connect(action, &QAction::triggered, this, [this, act] {
            if (menuRow_) {
                act(*menuRow_);
            }
        });
    };
    onRow(mnuCloseNow, [this](const platform::TcpRow& row) {
        CloseNow(row, CloseConnectionNow, userMessages_);
    });
    onRow(mnuBlockLocalPort, [this](const platform::TcpRow& row) {
        (void)BlockPortOf(oManager, row, true, userMessages_);
    });
    onRow(mnuBlockRemotePort, [this](const platform::TcpRow& row) {
        (void)BlockPortOf(oManager, row, false, userMessages_);
    });
    onRow(mnuAllowRemoteAddress, [this](const platform::TcpRow& row) {
        (void)AllowRemoteAddressOf(oManager, row, userMessages_);
    });
    connect(mnuConnectionRecent, &QAction::triggered, this, &frmMain::ShowRecentCloses);
}

}  // namespace quarnel
