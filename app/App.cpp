#include "app/App.h"

#include <QDialog>
#include <QSessionManager>

#include <poll.h>

#include <chrono>
#include <optional>

#include "app/QtMessageLog.h"
#include "app/WindowFonts.h"
#include "engine/PassPace.h"
#include "window/AppIdentity.h"

namespace quarnel {

namespace {

// How often a program that cannot close reads the table: as often as the connection view looks
// at it, and while the window is hidden only seldom, so that a helper that can be started again
// is still found.
constexpr std::chrono::milliseconds kViewerPace{frmMain::RefreshInterval};
constexpr std::chrono::milliseconds kHiddenViewerPace{60000};

// Where the choice to be notified of closes is kept, beside the rule lists.
constexpr const char* kNotifyClosesKey = "NotifyCloses";

}  // namespace

int App::Main(int& argc, char** argv) {
    const QtMessageLog qtMessages(closeLog_);  // from Qt's first warning on
    // 1. Another Quarnel of this user runs: it is asked to show its window, so that the start
    // does something the user can see, and this one ends, creating nothing else.
    if (!instance_.Claim()) {
        const QCoreApplication asking(argc, argv);  // the socket's notifiers need one
        (void)instance_.AskToShow();  // an old one that cannot be asked shows nothing, as before
        return 0;
    }
    application_ = std::make_unique<QApplication>(argc, argv);
    // From here a termination signal waits for the event step instead of killing the process.
    termination_ = std::make_unique<TerminationSignals>();
    QApplication::setApplicationName(
        QString::fromUtf8(ApplicationName.data(), qsizetype(ApplicationName.size())));
    QGuiApplication::setDesktopFileName(QStringLiteral("quarnel"));
    QApplication::setQuitOnLastWindowClosed(false);  // the main loop ends the program
    // Nobody sees the offscreen platform's windows, so nobody could answer a box there.
    if (QGuiApplication::platformName() == QLatin1String("offscreen")) {
        userMessages_.SetUnattended();
    }
    InstallFontSubstitutes();

    // 2.
    AppTitle = BuildAppTitle();
    // 3. The TCP state names are a constant table (TcpStateNames): nothing to fill.
    // 4. The Manager, with the engine that owns it.
    table_ = OpenTableSource();
    theEngine_ = std::make_unique<Engine>(*table_.Source, hosts_, store_);
    oManager = &theEngine_->oManager;
    theEngine_->LogTo(closeLog_, &closeRecords_);
    closeLog_.NameUsersBy([this](std::uint32_t uid) { return users_.Name(uid); });
    closeRecords_.NameUsersBy([this](std::uint32_t uid) { return users_.Name(uid); });
    // 5. Rules that could not be loaded as stored are told once the window is there.
    const std::string rulesProblem = oManager->LoadSettings();
    // 6. Loading shows the window and adds the notification icon.
    mainForm_ = std::make_unique<frmMain>(*oManager, bQuit, userMessages_);
    mainForm_->UserName = [this](std::uint32_t uid) { return users_.Name(uid); };
    QObject::connect(termination_.get(), &TerminationSignals::Requested, mainForm_.get(),
                     [this] { Terminate(); });
    QObject::connect(application_.get(), &QGuiApplication::commitDataRequest, mainForm_.get(),
                     [this](QSessionManager&) { Terminate(); });
    mainForm_->Form_Load();
    mainForm_->ShowClosesFrom(&closeRecords_);
    mainForm_->CloseConnectionNow = [this](const platform::TcpRow& row) {
        return table_.Source->CloseConnection(row);
    };
    mainForm_->mnuTrayNotify->setChecked(store_.Read(kNotifyClosesKey, "true") != "false");
    mainForm_->NotifySwitched = [this](bool on) {
        store_.Write(kNotifyClosesKey, on ? "true" : "false");
        (void)store_.Flush();  // a choice not kept is asked again at the next start: no message
    };
    instance_.Listen([this] { mainForm_->BringToFront(); });
    // 7.
    mainForm_->setWindowTitle(QString::fromStdString(AppTitle));
    // 8.
    oManager->oMainForm = mainForm_.get();
    // 9. Already visible: this brings it to the front.
    mainForm_->show();
    mainForm_->raise();
    EventStep();
    // 10.
    oManager->SetCurrentMode(ModeCurrentConnections);
    // 11.
    oManager->RefreshLocalIPList();

    if (!rulesProblem.empty()) {
        userMessages_.Notify(rulesProblem);  // the rules that did load are in force meanwhile
    }
    // What the user must know about the table, in a box that holds nothing, so that blocking,
    // or showing, starts at once. A program that cannot close says so in short; the details
    // are for whoever follows them up.
    canClose_ = table_.Problem.empty();
    TellGuardMode();
    if (!table_.Problem.empty()) {
        userMessages_.Log(table_.Problem);
        if (!table_.Note.empty()) {
            userMessages_.Log(table_.Note);
        }
        userMessages_.NotifyInBox(table_.Summary);
    } else if (!table_.Note.empty()) {
        userMessages_.Notify(table_.Note);
    }
    if (!table_.Said.empty()) {
        userMessages_.Log(table_.Said);
    }

    // 12.
    RunMainLoop();
    // 13.
    return EndProgram();
}

void App::RunMainLoop() {
    do {
        theEngine_->ProcessTcpTable([this] { EventStep(); });
        closeLog_.Flush();
        // What the table's source had to say on its own (its helper stopped, came back), in a
        // box that holds nothing: blocking goes on, or goes on read-only, while it is open.
        while (const std::optional<platform::SourceNotice> notice = table_.Source->TakeNotice()) {
            if (notice->Ability != platform::CloseAbility::Unknown) {
                canClose_ = notice->Ability == platform::CloseAbility::Allowed;
                TellGuardMode();
            }
            userMessages_.Notify(notice->Text);
        }
        WaitForTable();
        EventStep();
    } while (!bQuit);
}

void App::WaitForTable() {
    const int changes = table_.Source->WaitDescriptor();
    if (changes < 0) {
        tableChanges_.reset();
        if (!canClose_) {
            return WaitAsViewer();
        }
    }
    const std::chrono::milliseconds wait = WaitBeforePass(*theEngine_, changes >= 0);
    if (wait == kShortestWait) {
        // A close to try again should the connection survive (a closed one is reported at
        // once), or a table that cannot tell when it changes: a pause without the window's
        // events, which the pass after it handles.
        pollfd closed{changes, POLLIN, 0};                         // -1: only the pause
        (void)::poll(&closed, 1, static_cast<int>(wait.count()));  // an interruption shortens it
        return;
    }
    if (!tableChanges_ || tableChanges_->socket() != changes) {
        tableChanges_ = std::make_unique<QSocketNotifier>(changes, QSocketNotifier::Read);
        // The descriptor stays readable until the next pass reads the table: one wake-up per
        // wait, else a modal box opened meanwhile would spin in its own loop.
        QObject::connect(tableChanges_.get(), &QSocketNotifier::activated, tableChanges_.get(),
                         [notifier = tableChanges_.get()] { notifier->setEnabled(false); });
    }
    tableChanges_->setEnabled(true);
    if (!tableCheck_.isActive()) {
        tableCheck_.start(wait);  // nothing to connect: its tick ends the wait
    }
    // Sleeps until the table changes, a window event comes or a timer is due, and wakes at
    // once for each.
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

void App::WaitAsViewer() {
    // Reading faster than the list shows the connections would only burn the processor.
    const bool shown = mainForm_->isVisible();
    viewerPace_.setSingleShot(true);
    viewerPace_.start(shown ? kViewerPace : kHiddenViewerPace);
    // Window events are handled meanwhile; a window shown again is read for at once.
    while (viewerPace_.isActive() && !bQuit && mainForm_->isVisible() == shown) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
}

void App::EventStep() {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    // Objects released with deleteLater go too; no event loop of ours would release them.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

int App::EndProgram() {
    oManager = nullptr;
    theEngine_.reset();  // the Manager with its lists
    mainForm_.reset();   // the window and its notification icon
    termination_.reset();
    return 0;
}

void App::TellGuardMode() {
    using Mode = frmMain::GuardMode;
    mainForm_->SetGuardMode(!canClose_         ? Mode::OnlyShows
                            : table_.HoldsBack ? Mode::ClosesAndHoldsBack
                                               : Mode::Closes);
}

void App::Terminate() {
    userMessages_.SetUnattended();
    // An open box or menu would hold the loop with nobody to answer it: answer it "no".
    while (QWidget* popup = QApplication::activePopupWidget()) {
        popup->close();
    }
    while (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
        dialog->done(QDialog::Rejected);
    }
    mainForm_->close();
}

}  // namespace quarnel
