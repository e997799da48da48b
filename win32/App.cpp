#include "win32/App.h"

#include <commctrl.h>

#include <chrono>
#include <optional>

#include "engine/PassPace.h"
#include "window/AppIdentity.h"
#include "window/Layout.h"

namespace quarnel::win32 {

namespace {

// How often a program that cannot close reads the table: as often as the connection view looks
// at it, and while the window is hidden only seldom.
constexpr DWORD kViewerPace = layout::ListRefreshInterval;
constexpr DWORD kHiddenViewerPace = 60000;

}  // namespace

int App::Main() {
    // 1. Another Quarnel of this user runs: it is asked to show its window, so that the start
    // does something the user can see, and this one ends, creating nothing else.
    if (!instance_.Claim()) {
        (void)platform::SingleInstance::AskToShow(frmMain::ClassName);
        return 0;
    }
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES};
    (void)InitCommonControlsEx(&controls);

    // 2.
    AppTitle = BuildAppTitle();
    // 3. The TCP state names are a constant table (TcpStateNames): nothing to fill.
    // 4. The Manager, with the engine that owns it.
    theEngine_ = std::make_unique<Engine>(table_, hosts_, store_);
    oManager = &theEngine_->oManager;
    // 5. Rules that could not be loaded as stored are told once the window is there.
    const std::string rulesProblem = oManager->LoadSettings();
    const std::string closing = ChooseWayToClose();
    // 6. Loading shows the window and adds the notification icon.
    mainForm_ = std::make_unique<frmMain>(*oManager, bQuit, userMessages_);
    userMessages_.SetOwner(mainForm_->Handle());
    mainForm_->Form_Load();
    // 7.
    mainForm_->SetCaption(AppTitle);
    // 8.
    oManager->oMainForm = mainForm_.get();
    // 9. Already visible: this brings it to the front.
    (void)ShowWindow(mainForm_->Handle(), SW_SHOW);
    (void)SetForegroundWindow(mainForm_->Handle());
    EventStep();
    // 10.
    oManager->SetCurrentMode(ModeCurrentConnections);
    // 11.
    oManager->RefreshLocalIPList();

    // What the user must know, in a box that holds nothing, so that blocking, or showing,
    // starts at once.
    for (const std::string& text : {rulesProblem, closing}) {
        if (!text.empty()) {
            userMessages_.Notify(text);
        }
    }
    // 12.
    RunMainLoop();
    // 13.
    return EndProgram();
}

std::string App::ChooseWayToClose() {
    switch (table_.CanCloseConnections()) {
        case platform::CloseAbility::Allowed:
            canClose_ = true;
            return {};
        case platform::CloseAbility::NoPermission:
            table_.CloseNothing();
            return "Quarnel only shows connections: it cannot close them here. To let it, start "
                   "it with \"Run as administrator\".";
        case platform::CloseAbility::NotSupported:
            table_.CloseNothing();
            return "Quarnel only shows connections: it cannot close them here. It runs under "
                   "Wine, which takes the calls that close connections and closes nothing.";
        case platform::CloseAbility::Unknown:
            break;
    }
    canClose_ = true;  // it tries; a refusal is told when it comes
    return "Quarnel could not find out whether it may close connections here. It tries; should "
           "Windows refuse, it says so.";
}

void App::RunMainLoop() {
    do {
        theEngine_->ProcessTcpTable([this] { EventStep(); });
        // What the table had to say on its own (a close refused), in the box that holds
        // nothing: blocking goes on, or goes on read-only, while it is open.
        while (const std::optional<platform::SourceNotice> notice = table_.TakeNotice()) {
            if (notice->Ability != platform::CloseAbility::Unknown) {
                canClose_ = notice->Ability == platform::CloseAbility::Allowed;
            }
            userMessages_.Notify(notice->Text);
        }
        WaitForTable();
        EventStep();
    } while (!bQuit);
}

void App::WaitForTable() {
    if (canClose_) {
        // Windows tells a program nothing of the table's changes: the next pass comes after the
        // shortest wait, or sooner when a window event comes.
        const auto wait = WaitBeforePass(*theEngine_, false);
        (void)MsgWaitForMultipleObjectsEx(0, nullptr, DWORD(wait.count()), QS_ALLINPUT,
                                          MWMO_INPUTAVAILABLE);
        return;
    }
    // Reading faster than the list shows the connections would only burn the processor.
    // Window events are handled meanwhile; a window shown again is read for at once.
    const bool shown = mainForm_->IsShown();
    const auto until = std::chrono::steady_clock::now() +
                       std::chrono::milliseconds(shown ? kViewerPace : kHiddenViewerPace);
    while (!bQuit && mainForm_->IsShown() == shown) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            until - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            break;
        }
        (void)MsgWaitForMultipleObjectsEx(0, nullptr, DWORD(left.count()), QS_ALLINPUT,
                                          MWMO_INPUTAVAILABLE);
        EventStep();
    }
}

void App::EventStep() {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
            bQuit = true;
            continue;
        }
        if (mainForm_ != nullptr && mainForm_->PreTranslate(message)) {
            continue;
        }
        if (userMessages_.Note() != nullptr && IsDialogMessageW(userMessages_.Note(), &message)) {
            continue;
        }
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

int App::EndProgram() {
    oManager = nullptr;
    theEngine_.reset();  // the Manager with its lists
    mainForm_.reset();   // the window and its notification icon
    return 0;
}

}  // namespace quarnel::win32
