#pragma once

#include <QApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <unistd.h>

#include <memory>
#include <string>

#include "app/Messages.h"
#include "app/SettingsFile.h"
#include "app/SingleInstance.h"
#include "app/TableSource.h"
#include "app/TerminationSignals.h"
#include "app/frmMain.h"
#include "engine/ActionLog.h"
#include "engine/Engine.h"
#include "platform/linux/client/DescriptorOutput.h"
#include "platform/linux/client/LinuxHostAddressSource.h"
#include "platform/linux/client/UserNames.h"
#include "settings/IniSettingsStore.h"

namespace quarnel {

// The running program: start-up, the main loop and the end. It holds the one Manager (inside
// the engine) and the quit flag.
class App {
public:
    App() = default;
    // Qt's signals call back into this object: it stays where it was made.
    App(const App&) = delete;
    App& operator=(const App&) = delete;

    // The process's whole life; the exit status.
    int Main(int& argc, char** argv);

private:
    // One blocking pass, a short wait and one event step, until the window asks to quit.
    void RunMainLoop();
    // The pause between a pass and the event step: until the table changes, the window has an
    // event or kLongestSleep has passed; 1 ms where the table cannot tell when it changes.
    void WaitForTable();
    // The pause of a program that cannot close connections and is not told of changes: the
    // table is read as often as the connection view shows it, and seldom while hidden.
    void WaitAsViewer();
    // Runs every pending window event: handlers, timers, the notification icon, the close.
    void EventStep();
    // Releases the Manager and the window; the exit status.
    int EndProgram();
    // The tray icon says what the guard can do now.
    void TellGuardMode();
    // A signal or the end of the desktop session: close as the user would, with nobody there
    // to answer a message.
    void Terminate();

    SingleInstance instance_;
    std::unique_ptr<TerminationSignals> termination_;
    std::unique_ptr<QApplication> application_;
    std::string AppTitle;
    TableSourceChoice table_;
    std::unique_ptr<QSocketNotifier> tableChanges_;  // wakes the wait when the table changes
    QTimer tableCheck_;      // wakes the wait now and then for a pass all the same
    QTimer viewerPace_;      // single shot: the next pass of a program that cannot close
    bool canClose_ = false;  // whether connections the rules block are closed, as last told
    platform::LinuxHostAddressSource hosts_;
    IniSettingsStore store_{SettingsFilePath()};
    // Every line the program writes to standard error: a line for each connection closed, Qt's
    // messages, and the notices of a program nobody sees.
    platform::UserNames users_;  // before the log, which names owners' users through it
    platform::DescriptorOutput standardError_{STDERR_FILENO};
    ActionLog closeLog_{standardError_};
    MessageBoxes userMessages_{closeLog_};
    CloseRecords closeRecords_;  // what the window tells of closes
    std::unique_ptr<Engine> theEngine_;
    Manager* oManager = nullptr;  // the engine's Manager
    bool bQuit = false;
    std::unique_ptr<frmMain> mainForm_;
};

}  // namespace quarnel
