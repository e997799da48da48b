// The window's notification icon: added when the window loads, it brings a minimised window
// back. The shell reports what the mouse does on it as the window's mouse-move message, the
// mouse message that happened on the icon in its second parameter.
#include <cstring>

#include "win32/frmMain.h"
#include "window/AppIdentity.h"

namespace quarnel::win32 {

namespace {

constexpr UINT kIconId = 1;
constexpr UINT kLeftButtonUp = 0x202;
constexpr UINT kLeftButtonDoubleClick = 0x203;
constexpr UINT kRightButtonUp = 0x205;

// Lets the window's pending messages run once.
void ProcessPendingMessages() {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

}  // namespace

void frmMain::TrayOn() {
    (void)ShowWindow(window_, SW_SHOW);
    ProcessPendingMessages();  // the window is on screen before the icon appears
    // The record's first form, as the shell's ANSI entry point has always taken it: identifier
    // 1, callback message, icon and tip valid (7), the mouse-move message as callback, the tip
    // the product name alone followed by blanks.
    TrayIcon = NOTIFYICONDATAA{};
    TrayIcon.cbSize = NOTIFYICONDATAA_V1_SIZE;
    TrayIcon.hWnd = window_;
    TrayIcon.uID = kIconId;
    TrayIcon.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    TrayIcon.uCallbackMessage = WM_MOUSEMOVE;
    TrayIcon.hIcon = smallIcon_ != nullptr ? smallIcon_ : icon_;
    std::memset(TrayIcon.szTip, ' ', 64);
    const std::string_view tip = ProgramVersion.ProductName;
    std::memcpy(TrayIcon.szTip, tip.data(), tip.size());
    TrayIcon.szTip[tip.size()] = '\0';
    // Without a notification area there is no icon; minimising then keeps the window in the
    // task bar.
    trayAdded_ = Shell_NotifyIconA(NIM_ADD, &TrayIcon) != FALSE;
}

void frmMain::TrayOff() {
    if (trayAdded_) {
        (void)Shell_NotifyIconA(NIM_DELETE, &TrayIcon);
        trayAdded_ = false;
    }
}

void frmMain::Form_MouseMove(WPARAM /*w*/, LPARAM l) {
    if (!IsIconic(window_)) {
        return;  // an ordinary move over the window, or an icon message while it is open
    }
    switch (LOWORD(l)) {  // the window's scale is the pixel: the message is X
        case kLeftButtonUp:
        case kLeftButtonDoubleClick:
            (void)ShowWindow(window_, SW_RESTORE);
            (void)SetForegroundWindow(window_);
            (void)ShowWindow(window_, SW_SHOW);
            SetCommandButtons(true, true);  // shown again: every button is initialised
            break;
        case kRightButtonUp:
            // Back in the task bar, still minimised.
            (void)SetForegroundWindow(window_);
            (void)ShowWindow(window_, SW_SHOWMINNOACTIVE);
            break;
        default:
            break;  // moves over the icon, presses, the middle button
    }
}

}  // namespace quarnel::win32
