#include "app/App.h"

#include <QDialog>
#include <QSessionManager>

#include <poll.h>

#include <chrono>
#include <optional>
#include <thread>

#include "app/AppIdentity.h"
#include "app/QtMessageLog.h"
#include "app/WindowFonts.h"

namespace quarnel {

namespace {

// The longest the loop sleeps without a pass while the table tells of its changes: a helper that
// stops answering tells nothing, and only a pass that asks it finds out.
constexpr std::chrono::milliseconds kLongestSleep{250};
// How often a program that cannot close reads the table: as often as the connection view looks
// at it, and while the window is hidden only seldom, so that a helper that can be started again
// is still found.
constexpr std::chrono::milliseconds kViewerPace{frmMain::RefreshInterval};
constexpr std::chrono::milliseconds kHiddenViewerPace{60000};

}  // namespace

int App::Main(int& argc, char** argv) {
    const QtMessageLog qtMessages(CloseLog);  // from Qt's first warning on
    // 1. Another Quarnel of this user runs: it is asked to show its window, so that the start
    // does something the user can see, and this one ends, creating nothing else.
    if (!Instance.Claim()) {
        const QCoreApplication asking(argc, argv);  // the socket's notifiers need one
        (void)Instance.AskToShow();  // an old one that cannot be asked shows nothing, as before
        return 0;
    }
    Application = std::make_unique<QApplication>(argc, argv);
    // From here a termination signal waits for the event step instead of killing the process.
    Termination = std::make_unique<TerminationSignals>();
    QApplication::setApplicationName(
        QString::fromUtf8(ApplicationName.data(), qsizetype(ApplicationName.size())));
    QGuiApplication::setDesktopFileName(QStringLiteral("quarnel"));
    QApplication::setQuitOnLastWindowClosed(false);  // the main loop ends the program
    // Nobody sees the offscreen platform's windows, so nobody could answer a box there.
    if (QGuiApplication::platformName() == QLatin1String("offscreen")) {
        UserMessages.SetUnattended();
    }
    InstallFontSubstitutes();

    // 2.
    AppTitle = BuildAppTitle();
    // 3. The TCP state names are a constant table (TcpStateNames): nothing to fill.
    // 4. The Manager, with the engine that owns it.
    Table = OpenTableSource();
    TheEngine = std::make_unique<Engine>(*Table.Source, Hosts, Store);
    oManager = &TheEngine->oManager;
    // The rules in force name the range a blocked port is in.
    TheEngine->SetCloseObserver([this](const platform::TcpRow& row, Verdict verdict) {
        CloseLog.Closed(row, verdict, ActionLog::Clock::now(), &oManager->Rules());
    });
    TheEngine->SetMissObserver([this](const platform::TcpRow& row, Verdict verdict) {
        CloseLog.Missed(row, verdict, ActionLog::Clock::now(), &oManager->Rules());
    });
    // 5. Rules that could not be loaded as stored are told once the window is there.
    const std::string rulesProblem = oManager->LoadSettings();
    // 6. Loading shows the window and adds the notification icon.
    MainForm = std::make_unique<frmMain>(*oManager, bQuit, UserMessages);
    QObject::connect(Termination.get(), &TerminationSignals::Requested, MainForm.get(),
                     [this] { Terminate(); });
    QObject::connect(Application.get(), &QGuiApplication::commitDataRequest, MainForm.get(),
                     [this](QSessionManager&) { Terminate(); });
    MainForm->Form_Load();
    Instance.Listen([this] { MainForm->BringToFront(); });
    // 7.
    MainForm->setWindowTitle(QString::fromStdString(AppTitle));
    // 8.
    oManager->oMainForm = MainForm.get();
    // 9. Already visible: this brings it to the front.
    MainForm->show();
    MainForm->raise();
    EventStep();
    // 10.
    oManager->SetCurrentMode(ModeCurrentConnections);
    // 11.
    oManager->RefreshLocalIPList();

    if (!rulesProblem.empty()) {
        UserMessages.Notify(rulesProblem);  // the rules that did load are in force meanwhile
    }
    // What the user must know about the table, in a box that holds nothing, so that blocking,
    // or showing, starts at once. A program that cannot close says so in short; the details
    // are for whoever follows them up.
    bCanClose = Table.Problem.empty();
    if (!Table.Problem.empty()) {
        UserMessages.Log(Table.Problem);
        if (!Table.Note.empty()) {
            UserMessages.Log(Table.Note);
        }
        UserMessages.NotifyInBox(Table.Summary);
    } else if (!Table.Note.empty()) {
        UserMessages.Notify(Table.Note);
    }
    if (!Table.Said.empty()) {
        UserMessages.Log(Table.Said);
    }

    // 12.
    RunMainLoop();
    // 13.
    return EndProgram();
}

void App::RunMainLoop() {
    do {
        TheEngine->ProcessTcpTable([this] { EventStep(); });
        CloseLog.Flush();
        // What the table's source had to say on its own (its helper stopped, came back), in a
        // box that holds nothing: blocking goes on, or goes on read-only, while it is open.
        while (const std::optional<platform::SourceNotice> notice = Table.Source->TakeNotice()) {
            if (notice->Ability != platform::CloseAbility::Unknown) {
                bCanClose = notice->Ability == platform::CloseAbility::Allowed;
            }
            UserMessages.Notify(notice->Text);
        }
        WaitForTable();
        EventStep();
    } while (!bQuit);
}

void App::WaitForTable() {
    const int changes = Table.Source->WaitDescriptor();
    // A table that cannot tell when it changes: the next pass comes after the 1 ms pause, as
    // it always did.
    if (changes < 0) {
        TableChanges.reset();
        if (!bCanClose) {
            return WaitAsViewer();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return;
    }
    // A close to try again should the connection survive: a closed one is reported at once.
    if (TheEngine->PassDue()) {
        pollfd closed{changes, POLLIN, 0};
        (void)::poll(&closed, 1, 1);  // an interrupted or failed wait only shortens the pause
        return;
    }
    if (!TableChanges || TableChanges->socket() != changes) {
        TableChanges = std::make_unique<QSocketNotifier>(changes, QSocketNotifier::Read);
        // The descriptor stays readable until the next pass reads the table: one wake-up per
        // wait, else a modal box opened meanwhile would spin in its own loop.
        QObject::connect(TableChanges.get(), &QSocketNotifier::activated, TableChanges.get(),
                         [notifier = TableChanges.get()] { notifier->setEnabled(false); });
    }
    TableChanges->setEnabled(true);
    if (!TableCheck.isActive()) {
        TableCheck.start(kLongestSleep);  // nothing to connect: its tick ends the wait
    }
    // Sleeps until the table changes, a window event comes or a timer is due, and wakes at
    // once for each.
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

void App::WaitAsViewer() {
    // Reading faster than the list shows the connections would only burn the processor.
    const bool shown = MainForm->isVisible();
    ViewerPace.setSingleShot(true);
    ViewerPace.start(shown ? kViewerPace : kHiddenViewerPace);
    // Window events are handled meanwhile; a window shown again is read for at once.
    while (ViewerPace.isActive() && !bQuit && MainForm->isVisible() == shown) {
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
    TheEngine.reset();  // the Manager with its lists
    MainForm.reset();   // the window and its notification icon
    Termination.reset();
    return 0;
}

void App::Terminate() {
    UserMessages.SetUnattended();
    // An open box or menu would hold the loop with nobody to answer it: answer it "no".
    while (QWidget* popup = QApplication::activePopupWidget()) {
        popup->close();
    }
    while (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
        dialog->done(QDialog::Rejected);
    }
    MainForm->close();
}

}  // namespace quarnel
