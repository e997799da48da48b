// The window's notification icon: added once when the window loads, it brings a minimised
// window back, says what the guard does and how many it closed, and tells of closes.
#include <QCoreApplication>

#include "app/frmMain.h"
#include "engine/ActionLog.h"
#include "window/AppIdentity.h"

namespace quarnel {

namespace {

QString ModeText(frmMain::GuardMode mode) {
    switch (mode) {
        case frmMain::GuardMode::ClosesAndHoldsBack:
            return QStringLiteral("closes and holds data back");
        case frmMain::GuardMode::Closes:
            return QStringLiteral("closes");
        case frmMain::GuardMode::OnlyShows:
            break;
    }
    return QStringLiteral("only shows");
}

QString ProductName() {
    return QString::fromUtf8(ProgramVersion.ProductName.data(),
                             qsizetype(ProgramVersion.ProductName.size()));
}

}  // namespace

void frmMain::TrayOn() {
    show();
    QCoreApplication::processEvents();  // the window is on screen before the icon appears
    TrayIcon.setIcon(windowIcon());
    UpdateTrayStatus();
    // A desktop without a notification area shows no icon; minimising then keeps the window in
    // the task bar.
    TrayIcon.show();
}

void frmMain::CreateTrayMenu() {
    mnuTrayMode = mnuTray.addAction(QString());
    mnuTrayMode->setEnabled(false);  // status lines, not choices
    mnuTrayCount = mnuTray.addAction(QString());
    mnuTrayCount->setEnabled(false);
    mnuTray.addSeparator();
    mnuTrayShow = mnuTray.addAction(tr("Show"));
    mnuTrayRecent = mnuTray.addAction(tr("Recent closes"));
    mnuTrayNotify = mnuTray.addAction(tr("Notify of closes"));
    mnuTrayNotify->setCheckable(true);
    mnuTrayNotify->setChecked(true);
    mnuTray.addSeparator();
    mnuTrayQuit = mnuTray.addAction(tr("Quit"));
    TrayIcon.setContextMenu(&mnuTray);
    connect(mnuTrayShow, &QAction::triggered, this, &frmMain::BringToFront);
    connect(mnuTrayRecent, &QAction::triggered, this, &frmMain::ShowRecentCloses);
    connect(mnuTrayQuit, &QAction::triggered, this, &QWidget::close);
    connect(mnuTrayNotify, &QAction::toggled, this, [this](bool on) {
        if (NotifySwitched) {
            NotifySwitched(on);
        }
    });
    mnuTrayRecent->setEnabled(false);  // until there are closes to show
    Notify = [this](const QString& title, const QString& text) {
        TrayIcon.showMessage(title, text, QSystemTrayIcon::Information);
    };
    connect(&TimerCloses, &QTimer::timeout, this, &frmMain::TellCloses);
    TimerCloses.start(1000);
}

void frmMain::SetGuardMode(GuardMode mode) {
    mode_ = mode;
    UpdateTrayStatus();
}

void frmMain::ShowClosesFrom(CloseRecords* records) {
    records_ = records;
    mnuTrayRecent->setEnabled(records != nullptr);
    recordsSeen_ = records != nullptr ? records->Added() : 0;
    if (records != nullptr) {
        (void)records->TakeNotice();  // what came before the window is not news
    }
    UpdateTrayStatus();
}

QString frmMain::TrayToolTip() const {
    const std::uint64_t closed = records_ != nullptr ? records_->ClosedCount() : 0;
    return ProductName() + QStringLiteral(": ") + ModeText(mode_) + QStringLiteral("\n") +
           QString::fromStdString(GroupedNumber(closed)) +
           (closed == 1 ? tr(" connection closed since start")
                        : tr(" connections closed since start"));
}

void frmMain::UpdateTrayStatus() {
    TrayIcon.setToolTip(TrayToolTip());
    const QStringList lines = TrayToolTip().split(QLatin1Char('\n'));
    mnuTrayMode->setText(ProductName() + QStringLiteral(" ") + ModeText(mode_));
    mnuTrayCount->setText(lines.value(1));
}

void frmMain::TellCloses() {
    if (records_ == nullptr) {
        return;
    }
    if (records_->Added() != recordsSeen_) {
        recordsSeen_ = records_->Added();
        UpdateTrayStatus();
        if (RecentCloses) {
            RecentCloses->Follow();
        }
    }
    if (!NotifyCloses()) {
        (void)records_->TakeNotice();  // switched on again, it tells only what comes then
        return;
    }
    if (lastNotice_.isValid() && lastNotice_.elapsed() < NoticeGap) {
        return;  // told together once the gap is over
    }
    const std::string notice = records_->TakeNotice();
    if (!notice.empty() && Notify) {
        lastNotice_.start();
        Notify(ProductName(), QString::fromStdString(notice));
    }
}

void frmMain::ShowRecentCloses() {
    if (records_ == nullptr) {
        return;
    }
    if (!RecentCloses) {
        RecentCloses = std::make_unique<frmRecent>(*records_);
        RecentCloses->setWindowIcon(windowIcon());
    }
    RecentCloses->Follow();
    RecentCloses->show();
    RecentCloses->raise();
    RecentCloses->activateWindow();
}

void frmMain::WatchTray() {
    if (isVisible()) {
        TrayWatch.stop();  // brought back: minimising again decides anew
        return;
    }
    if (!TrayAvailable()) {
        TrayWatch.stop();
        setWindowState(windowState() | Qt::WindowMinimized);
        show();
        // A tray that comes later is used at the next minimising.
        TrayIcon.show();
    }
}

void frmMain::TrayIcon_Activated(QSystemTrayIcon::ActivationReason reason) {
    if (!isMinimized()) {
        return;  // icon clicks do nothing while the window is open
    }
    switch (reason) {
        case QSystemTrayIcon::Trigger:  // left button
        case QSystemTrayIcon::DoubleClick:
        // The right button opens the icon's menu; the window comes back whole beside it, never
        // minimised where a desktop without a task bar would leave it out of sight.
        case QSystemTrayIcon::Context:
            BringToFront();
            break;
        case QSystemTrayIcon::MiddleClick:
        case QSystemTrayIcon::Unknown:
            break;
    }
}

}  // namespace quarnel
