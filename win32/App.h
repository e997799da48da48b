#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "engine/Engine.h"
#include "platform/windows/RegistrySettingsStore.h"
#include "platform/windows/SingleInstance.h"
#include "platform/windows/TcpEntryWriter.h"
#include "platform/windows/WindowsHostAddressSource.h"
#include "platform/windows/WindowsTcpTable.h"
#include "win32/MessageBoxes.h"
#include "win32/frmMain.h"

namespace quarnel::win32 {

// The running program on Windows: start-up, the main loop and the end. It holds the one Manager
// (inside the engine) and the quit flag.
class App {
public:
    App() = default;
    App(const App&) = delete;
    App& operator=(const App&) = delete;

    // The process's whole life; the exit status.
    int Main();

private:
    // Decides whether connections are closed here, and what the user is told of it.
    std::string ChooseWayToClose();
    // One blocking pass, a short wait and one event step, until the window asks to quit.
    void RunMainLoop();
    // The pause between a pass and the event step: 1 ms while connections are closed (Windows
    // tells programs nothing of the table's changes); a program that only shows connections
    // reads the table as often as its window shows it, and seldom while it is hidden.
    void WaitForTable();
    // Runs every pending window event: handlers, timers, the notification icon, the close.
    void EventStep();
    // Releases the Manager and the window; the exit status.
    int EndProgram();

    platform::SingleInstance instance_;
    platform::SystemTcpEntries entries_;
    platform::WindowsTcpTable table_{entries_};
    platform::WindowsHostAddressSource hosts_;
    platform::RegistrySettingsStore store_;
    MessageBoxes userMessages_;
    std::string AppTitle;
    std::unique_ptr<Engine> theEngine_;
    Manager* oManager = nullptr;  // the engine's Manager
    bool bQuit = false;
    bool canClose_ = false;  // whether connections the rules block are closed, as last told
    std::unique_ptr<frmMain> mainForm_;
};

}  // namespace quarnel::win32
