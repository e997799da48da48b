#pragma once

#include <windows.h>

#include <shellapi.h>

#include <array>
#include <memory>
#include <string>

#include "engine/Manager.h"
#include "engine/ManagerWindow.h"
#include "win32/Command.h"
#include "win32/FrameBox.h"
#include "win32/MessageBoxes.h"
#include "window/Layout.h"

namespace quarnel::win32 {

// The program's only window, on the Win32 API: the list of the view shown with its heading and
// entry field on the left, the view buttons in four frames and the two filters on the right, as
// window/Layout.h places them, in twips at the window's DPI (564 x 518 pixels at 96). The
// Manager fills the list, the heading and the editing controls; the window holds no lists.
class frmMain final : public ManagerWindow {
public:
    // The window class, which a second start looks for to ask this one to show itself.
    static constexpr const wchar_t* ClassName = L"Quarnel.frmMain";

    // quit is the program's quit flag: set by the close request, never reset.
    frmMain(Manager& manager, bool& quit, MessageBoxes& messages);
    ~frmMain() override;
    frmMain(const frmMain&) = delete;
    frmMain& operator=(const frmMain&) = delete;

    HWND Handle() const { return window_; }
    // Sets the first caption, initialises the buttons, centres the window, shows it and adds
    // the notification icon.
    void Form_Load();
    void SetCaption(const std::string& caption);
    // For every Command of the window: Initialize, or else set Enabled.
    void SetCommandButtons(bool bInitialize, bool bEnabled);
    // Restores the window, hidden or minimised, shows it and brings it to the front.
    void BringToFront();
    // Whether the window is on screen and not minimised.
    bool IsShown() const;
    // What the window takes of a message before it is dispatched: Enter in the entry box,
    // Delete in the list, access keys, and the dialog keys that move the focus. True when taken.
    bool PreTranslate(MSG& message);
    // The refresh timer's work: reloads the connection view when its lines changed.
    void RefreshConnectionsIfChanged();

    // ManagerWindow
    void ClearList() override;
    void AppendToList(const std::string& text) override;
    void SetHeading(const std::string& text) override;
    void SetEditingEnabled(bool enabled) override;
    Value ShowOnlyConnectedValue() const override;
    Value HideLocalValue() const override;
    void ShowMessage(const std::string& text) override;

private:
    static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM w, LPARAM l);
    LRESULT Handle(UINT message, WPARAM w, LPARAM l);
    void CreateControls();
    // Places every control and makes the fonts for dpi.
    void LayOut(UINT dpi);
    void OnCommand(int id, int code);
    void Form_Resize(WPARAM sizeType);
    // The close request, whatever its cause: saves the rule lists and ends the main loop.
    void Form_QueryUnload();
    // The notification icon's messages, which come as mouse moves (Shell_NotifyIconA).
    void Form_MouseMove(WPARAM w, LPARAM l);
    void TrayOn();
    void TrayOff();
    void cmdAdd_Click();
    void mnuDelete_Click();
    // The list's pop-up menu at a point of the screen.
    void lstMain_MouseUp(POINT screen);
    // The text of the list's selected entry, empty when none is selected.
    std::string SelectedText() const;
    void WidenListFor(const std::wstring& text);
    // The list's tooltip: what hovering a connection line shows of its owner.
    void CreateToolTip();
    // The text of the tooltip for the line under the pointer, empty for none.
    const wchar_t* ToolTipText();
    static LRESULT CALLBACK ListProcedure(HWND list, UINT message, WPARAM w, LPARAM l, UINT_PTR id,
                                          DWORD_PTR data);

    Manager& oManager;
    bool& bQuit;
    MessageBoxes& userMessages_;
    HWND window_ = nullptr;
    HWND txtHead_ = nullptr, lstMain_ = nullptr, txtItem_ = nullptr;
    HWND chkShowX_ = nullptr, chkHideLocal_ = nullptr;
    std::unique_ptr<FrameBox> Frame1, Frame2, Frame3, Frame4;
    std::unique_ptr<Command> cmdAdd, cmdCurrentConnections, cmdBlockedLocal, cmdBlockedRemote,
        cmdAllowedIP, cmdLocalIP, cmdAddLocal;
    HMENU mnuListBox_ = nullptr;
    bool mnuDeleteEnabled_ = false;
    NOTIFYICONDATAA TrayIcon{};
    bool trayAdded_ = false;
    bool firstShown_ = false;
    UINT taskbarCreated_ = 0;
    HICON icon_ = nullptr, smallIcon_ = nullptr;
    HBRUSH formBrush_ = nullptr;
    // The fonts of the layout at the window's DPI: heading, list, entry, check boxes, frames,
    // buttons.
    std::array<HFONT, 6> fonts_{};
    int listExtent_ = 0;  // the widest line of the list, in pixels
    HWND toolTip_ = nullptr;
    std::wstring toolTipText_;  // what the tooltip shows now
    int toolTipLine_ = -1;      // the line it was asked for
};

}  // namespace quarnel::win32
