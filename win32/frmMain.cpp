#include "win32/frmMain.h"

#include <commctrl.h>
#include <windowsx.h>

#include <algorithm>
#include <cmath>
#include <cwctype>
#include <functional>
#include <utility>

#include "platform/windows/SingleInstance.h"
#include "platform/windows/WideText.h"
#include "win32/ControlIds.h"
#include "win32/Resources.h"
#include "win32/WindowObject.h"
#include "window/AppIdentity.h"
#include "window/ConnectionView.h"
#include "window/ListEditing.h"

namespace quarnel::win32 {

namespace {

constexpr UINT_PTR kTimerListRefresh = 1;

enum FontIndex : std::size_t {
    kHeadFont,
    kListFont,
    kItemFont,
    kCheckFont,
    kFrameFont,
    kButtonFont
};

COLORREF ToColorRef(layout::Colour colour) {
    return RGB(colour.Red, colour.Green, colour.Blue);
}

// A place of the layout in pixels at dpi: twips are 1/1440 inch.
RECT PixelsAt(const layout::Rect& twips, UINT dpi) {
    const auto pixels = [dpi](int value) { return MulDiv(value, int(dpi), 1440); };
    return {pixels(twips.Left), pixels(twips.Top), pixels(twips.Left + twips.Width),
            pixels(twips.Top + twips.Height)};
}

void Place(HWND control, const layout::Rect& twips, UINT dpi) {
    const RECT at = PixelsAt(twips, dpi);
    (void)SetWindowPos(control, nullptr, at.left, at.top, at.right - at.left, at.bottom - at.top,
                       SWP_NOZORDER | SWP_NOACTIVATE);
}

HFONT MakeFont(const layout::Font& font, UINT dpi) {
    const int height = -int(std::lround(font.Points * dpi / 72.0));
    return CreateFontW(height, 0, 0, 0, font.Bold ? FW_BOLD : FW_NORMAL, FALSE, FALSE, FALSE,
                       DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY,
                       DEFAULT_PITCH | FF_DONTCARE, platform::Widen(font.Face).c_str());
}

HWND MakeControl(HWND parent, const wchar_t* className, const char* text, DWORD style,
                 DWORD extendedStyle, int id) {
    return CreateWindowExW(extendedStyle, className, platform::Widen(text ? text : "").c_str(),
                           WS_CHILD | WS_VISIBLE | style, 0, 0, 10, 10, parent,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                           GetModuleHandleW(nullptr), nullptr);
}

// The list box as the connection view's refresh changes it; widen is told of every line put in.
class ListBoxLines final : public ConnectionListBox {
public:
    ListBoxLines(HWND list, std::function<void(const std::wstring&)> widen)
        : list_(list), widen_(std::move(widen)) {}

    std::int32_t LineCount() const override {
        return std::int32_t(SendMessageW(list_, LB_GETCOUNT, 0, 0));
    }
    void ReplaceLine(std::int32_t index, const std::string& text) override {
        const std::wstring line = platform::Widen(text);
        const bool selected = SendMessageW(list_, LB_GETCURSEL, 0, 0) == index;
        (void)SendMessageW(list_, LB_DELETESTRING, index, 0);
        (void)SendMessageW(list_, LB_INSERTSTRING, index, reinterpret_cast<LPARAM>(line.c_str()));
        if (selected) {
            (void)SendMessageW(list_, LB_SETCURSEL, index, 0);
        }
        widen_(line);
    }
    void AppendLine(const std::string& text) override {
        const std::wstring line = platform::Widen(text);
        (void)SendMessageW(list_, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(line.c_str()));
        widen_(line);
    }
    void RemoveLinesFrom(std::int32_t index) override {
        for (std::int32_t last = LineCount() - 1; last >= index; --last) {
            (void)SendMessageW(list_, LB_DELETESTRING, last, 0);
        }
    }

private:
    HWND list_;
    std::function<void(const std::wstring&)> widen_;
};

}  // namespace

frmMain::frmMain(Manager& manager, bool& quit, MessageBoxes& messages)
    : oManager(manager), bQuit(quit), userMessages_(messages) {
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    Command::Register();
    FrameBox::Register();
    formBrush_ = CreateSolidBrush(ToColorRef(layout::FormBackground));
    icon_ = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(QUARNEL_ICON), IMAGE_ICON,
                                          GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON),
                                          LR_DEFAULTCOLOR));
    smallIcon_ = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(QUARNEL_ICON), IMAGE_ICON,
                                               GetSystemMetrics(SM_CXSMICON),
                                               GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR));

    RegisterWindowClass(ClassName, Procedure, 0, formBrush_, icon_, smallIcon_);

    // Fixed size: a minimise button, no maximise button, no sizing border.
    constexpr DWORD kStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
    window_ = CreateWindowExW(WS_EX_CONTROLPARENT, ClassName, L"", kStyle, CW_USEDEFAULT,
                              CW_USEDEFAULT, 600, 560, nullptr, nullptr, instance, this);
    taskbarCreated_ = RegisterWindowMessageW(L"TaskbarCreated");
    CreateControls();
    CreateToolTip();
    LayOut(GetDpiForWindow(window_));
}

frmMain::~frmMain() {
    TrayOff();
    // The controls go before the window that holds them.
    cmdAdd.reset();
    cmdCurrentConnections.reset();
    cmdBlockedLocal.reset();
    cmdBlockedRemote.reset();
    cmdAllowedIP.reset();
    cmdLocalIP.reset();
    cmdAddLocal.reset();
    Frame1.reset();
    Frame2.reset();
    Frame3.reset();
    Frame4.reset();
    if (lstMain_ != nullptr) {
        (void)RemoveWindowSubclass(lstMain_, ListProcedure, 0);
    }
    if (window_ != nullptr) {
        SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
        (void)DestroyWindow(window_);
    }
    if (mnuListBox_ != nullptr) {
        (void)DestroyMenu(mnuListBox_);
    }
    for (const HFONT font : fonts_) {
        if (font != nullptr) {
            (void)DeleteObject(font);
        }
    }
    for (const HICON icon : {icon_, smallIcon_}) {
        if (icon != nullptr) {
            (void)DestroyIcon(icon);
        }
    }
    if (formBrush_ != nullptr) {
        (void)DeleteObject(formBrush_);
    }
}

void frmMain::CreateControls() {
    txtHead_ = MakeControl(window_, L"EDIT", layout::txtHead.Caption,
                           ES_READONLY | ES_AUTOHSCROLL | WS_TABSTOP, WS_EX_CLIENTEDGE, kTxtHead);
    lstMain_ = MakeControl(window_, L"LISTBOX", nullptr,
                           LBS_NOTIFY | LBS_NOINTEGRALHEIGHT | WS_VSCROLL | WS_HSCROLL | WS_TABSTOP,
                           WS_EX_CLIENTEDGE, kLstMain);
    txtItem_ = MakeControl(window_, L"EDIT", layout::txtItem.Caption, ES_AUTOHSCROLL | WS_TABSTOP,
                           WS_EX_CLIENTEDGE, kTxtItem);
    cmdAdd = std::make_unique<Command>(window_, kCmdAdd, layout::cmdAdd.Caption);

    Frame1 = std::make_unique<FrameBox>(window_, layout::Frame1);
    cmdCurrentConnections = std::make_unique<Command>(Frame1->Handle(), kCmdCurrentConnections,
                                                      layout::cmdCurrentConnections.Caption);
    chkShowX_ = MakeControl(window_, L"BUTTON", layout::chkShowX.Caption,
                            BS_AUTOCHECKBOX | WS_TABSTOP, 0, kChkShowX);
    chkHideLocal_ = MakeControl(window_, L"BUTTON", layout::chkHideLocal.Caption,
                                BS_AUTOCHECKBOX | WS_TABSTOP, 0, kChkHideLocal);
    for (const HWND box : {chkShowX_, chkHideLocal_}) {
        (void)SendMessageW(box, BM_SETCHECK, BST_CHECKED, 0);
    }
    Frame2 = std::make_unique<FrameBox>(window_, layout::Frame2);
    cmdBlockedLocal = std::make_unique<Command>(Frame2->Handle(), kCmdBlockedLocal,
                                                layout::cmdBlockedLocal.Caption);
    cmdBlockedRemote = std::make_unique<Command>(Frame2->Handle(), kCmdBlockedRemote,
                                                 layout::cmdBlockedRemote.Caption);
    Frame3 = std::make_unique<FrameBox>(window_, layout::Frame3);
    cmdAllowedIP =
        std::make_unique<Command>(Frame3->Handle(), kCmdAllowedIP, layout::cmdAllowedIP.Caption);
    Frame4 = std::make_unique<FrameBox>(window_, layout::Frame4);
    cmdLocalIP =
        std::make_unique<Command>(Frame4->Handle(), kCmdLocalIP, layout::cmdLocalIP.Caption);
    cmdAddLocal =
        std::make_unique<Command>(Frame4->Handle(), kCmdAddLocal, layout::cmdAddLocal.Caption);

    // Tab order: the list first, then the heading, the entry row, the filters, the buttons.
    HWND after = HWND_TOP;
    for (const HWND control :
         {lstMain_, txtHead_, cmdAdd->Handle(), txtItem_, chkShowX_, chkHideLocal_,
          Frame1->Handle(), Frame2->Handle(), Frame3->Handle(), Frame4->Handle()}) {
        (void)SetWindowPos(control, after, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
        after = control;
    }

    mnuListBox_ = CreatePopupMenu();
    (void)AppendMenuW(mnuListBox_, MF_STRING, kMnuDelete,
                      platform::Widen(layout::mnuDelete).c_str());
    (void)SetTimer(window_, kTimerListRefresh, layout::ListRefreshInterval, nullptr);
}

void frmMain::LayOut(UINT dpi) {
    const HFONT old[6] = {fonts_[0], fonts_[1], fonts_[2], fonts_[3], fonts_[4], fonts_[5]};
    fonts_[kHeadFont] = MakeFont(layout::txtHead.TextFont, dpi);
    fonts_[kListFont] = MakeFont(layout::lstMain.TextFont, dpi);
    fonts_[kItemFont] = MakeFont(layout::txtItem.TextFont, dpi);
    fonts_[kCheckFont] = MakeFont(layout::chkShowX.TextFont, dpi);
    fonts_[kFrameFont] = MakeFont(layout::FrameFont, dpi);
    fonts_[kButtonFont] = MakeFont(layout::ButtonFont, dpi);

    const std::pair<HWND, FontIndex> controls[] = {{txtHead_, kHeadFont},
                                                   {lstMain_, kListFont},
                                                   {txtItem_, kItemFont},
                                                   {chkShowX_, kCheckFont},
                                                   {chkHideLocal_, kCheckFont}};
    const layout::Rect* places[] = {&layout::txtHead.Where, &layout::lstMain.Where,
                                    &layout::txtItem.Where, &layout::chkShowX.Where,
                                    &layout::chkHideLocal.Where};
    for (std::size_t i = 0; i < std::size(controls); ++i) {
        Place(controls[i].first, *places[i], dpi);
        (void)SendMessageW(controls[i].first, WM_SETFONT,
                           reinterpret_cast<WPARAM>(fonts_[controls[i].second]), TRUE);
    }
    const std::pair<FrameBox*, const layout::Frame*> frames[] = {{Frame1.get(), &layout::Frame1},
                                                                 {Frame2.get(), &layout::Frame2},
                                                                 {Frame3.get(), &layout::Frame3},
                                                                 {Frame4.get(), &layout::Frame4}};
    for (const auto& [frame, place] : frames) {
        Place(frame->Handle(), place->Where, dpi);
        frame->SetFont(fonts_[kFrameFont]);
    }
    const std::pair<Command*, const layout::Button*> buttons[] = {
        {cmdAdd.get(), &layout::cmdAdd},
        {cmdCurrentConnections.get(), &layout::cmdCurrentConnections},
        {cmdBlockedLocal.get(), &layout::cmdBlockedLocal},
        {cmdBlockedRemote.get(), &layout::cmdBlockedRemote},
        {cmdAllowedIP.get(), &layout::cmdAllowedIP},
        {cmdLocalIP.get(), &layout::cmdLocalIP},
        {cmdAddLocal.get(), &layout::cmdAddLocal}};
    for (const auto& [button, place] : buttons) {
        Place(button->Handle(), place->Where, dpi);
        button->SetFont(fonts_[kButtonFont]);
    }
    for (const HFONT font : old) {
        if (font != nullptr) {
            (void)DeleteObject(font);
        }
    }
    listExtent_ = 0;
    (void)SendMessageW(lstMain_, LB_SETHORIZONTALEXTENT, 0, 0);
}

void frmMain::Form_Load() {
    SetCaption(LoadCaption());
    SetCommandButtons(true, true);
    // Centred on the screen the first time it shows; the client area is the layout's.
    const UINT dpi = GetDpiForWindow(window_);
    RECT frame = PixelsAt({0, 0, layout::ClientWidth, layout::ClientHeight}, dpi);
    (void)AdjustWindowRectExForDpi(&frame, DWORD(GetWindowLongPtrW(window_, GWL_STYLE)), FALSE,
                                   DWORD(GetWindowLongPtrW(window_, GWL_EXSTYLE)), dpi);
    RECT work{};
    (void)SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    const int width = frame.right - frame.left, height = frame.bottom - frame.top;
    (void)SetWindowPos(window_, nullptr, work.left + (work.right - work.left - width) / 2,
                       work.top + (work.bottom - work.top - height) / 2, width, height,
                       SWP_NOZORDER | SWP_NOACTIVATE);
    TrayOn();
}

void frmMain::SetCaption(const std::string& caption) {
    (void)SetWindowTextW(window_, platform::Widen(caption).c_str());
}

void frmMain::SetCommandButtons(bool bInitialize, bool bEnabled) {
    for (Command* button :
         {cmdAdd.get(), cmdCurrentConnections.get(), cmdBlockedLocal.get(), cmdBlockedRemote.get(),
          cmdAllowedIP.get(), cmdLocalIP.get(), cmdAddLocal.get()}) {
        if (bInitialize) {
            button->Initialize();
        } else {
            button->SetEnabled(bEnabled);
        }
    }
}

void frmMain::BringToFront() {
    (void)ShowWindow(window_, IsIconic(window_) ? SW_RESTORE : SW_SHOW);
    (void)SetForegroundWindow(window_);
    SetCommandButtons(true, true);  // shown again: every button is initialised
}

bool frmMain::IsShown() const {
    return IsWindowVisible(window_) && !IsIconic(window_);
}

bool frmMain::PreTranslate(MSG& message) {
    if (message.message == WM_KEYDOWN && message.hwnd == txtItem_ && message.wParam == VK_RETURN) {
        cmdAdd_Click();  // Enter in the entry box does what the button beside it does
        return true;
    }
    if (message.message == WM_KEYDOWN && message.hwnd == lstMain_ && message.wParam == VK_DELETE) {
        if (mnuDeleteEnabled_) {
            mnuDelete_Click();
        }
        return true;
    }
    if (message.message == WM_SYSCHAR &&
        (message.hwnd == window_ || IsChild(window_, message.hwnd))) {
        const auto key = wchar_t(std::towupper(wchar_t(message.wParam)));  // Alt and the key
        for (Command* button :
             {cmdAdd.get(), cmdCurrentConnections.get(), cmdBlockedLocal.get(),
              cmdBlockedRemote.get(), cmdAllowedIP.get(), cmdLocalIP.get(), cmdAddLocal.get()}) {
            if (key != 0 && button->Enabled() &&
                wchar_t(std::towupper(button->AccessKey())) == key) {
                button->AccessKeyPressed();
                return true;
            }
        }
    }
    return IsDialogMessageW(window_, &message) != 0;
}

LRESULT CALLBACK frmMain::Procedure(HWND window, UINT message, WPARAM w, LPARAM l) {
    auto* form = WindowObject<frmMain>(window, message, l);
    if (form == nullptr) {
        return DefWindowProcW(window, message, w, l);
    }
    form->window_ = window;
    return form->Handle(message, w, l);
}

LRESULT frmMain::Handle(UINT message, WPARAM w, LPARAM l) {
    if (message == platform::SingleInstance::ShowMessage()) {
        BringToFront();  // a second start asks for the window
        return 0;
    }
    if (message == taskbarCreated_ && taskbarCreated_ != 0) {
        trayAdded_ = false;  // the shell came back without our icon
        TrayIcon.cbSize = 0;
        TrayOn();
        return 0;
    }
    switch (message) {
        case WM_COMMAND:
            OnCommand(LOWORD(w), HIWORD(w));
            return 0;
        case WM_NOTIFY: {
            auto* header = reinterpret_cast<NMHDR*>(l);
            if (header->hwndFrom == toolTip_ && header->code == TTN_GETDISPINFOW) {
                reinterpret_cast<NMTTDISPINFOW*>(l)->lpszText = const_cast<wchar_t*>(ToolTipText());
                return 0;
            }
            break;
        }
        case WM_TIMER:
            if (w == kTimerListRefresh) {
                RefreshConnectionsIfChanged();
            }
            return 0;
        case WM_SIZE:
            Form_Resize(w);
            return 0;
        case WM_SHOWWINDOW:
            if (w != FALSE && !std::exchange(firstShown_, true)) {
                SetCommandButtons(true, true);  // shown the first time: Form_Activate
                oManager.RefreshCurrentConnections();
            }
            break;
        case WM_MOUSEMOVE:
            Form_MouseMove(w, l);
            return 0;
        case WM_CONTEXTMENU:
            if (reinterpret_cast<HWND>(w) == lstMain_) {
                POINT at{GET_X_LPARAM(l), GET_Y_LPARAM(l)};
                if (at.x == -1 && at.y == -1) {
                    // From the keyboard: at the current entry, or the list's corner.
                    RECT item{};
                    const auto current = int(SendMessageW(lstMain_, LB_GETCURSEL, 0, 0));
                    if (current < 0 || SendMessageW(lstMain_, LB_GETITEMRECT, current,
                                                    reinterpret_cast<LPARAM>(&item)) == LB_ERR) {
                        item = {};
                    }
                    at = {item.left, item.bottom};
                    (void)ClientToScreen(lstMain_, &at);
                }
                lstMain_MouseUp(at);
                return 0;
            }
            break;
        case WM_CTLCOLORSTATIC: {
            const auto dc = reinterpret_cast<HDC>(w);
            const auto control = reinterpret_cast<HWND>(l);
            if (control == chkShowX_ || control == chkHideLocal_) {
                // The check boxes keep the system's window colours, not the form's.
                (void)SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
                (void)SetBkColor(dc, GetSysColor(COLOR_WINDOW));
                return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_WINDOW));
            }
            (void)SetBkColor(dc, ToColorRef(layout::FormBackground));
            return reinterpret_cast<LRESULT>(formBrush_);
        }
        case WM_CTLCOLORLISTBOX: {
            const auto dc = reinterpret_cast<HDC>(w);
            (void)SetTextColor(dc, RGB(0, 0, 0));
            (void)SetBkColor(dc, ToColorRef(layout::FormBackground));
            return reinterpret_cast<LRESULT>(formBrush_);
        }
        case WM_CTLCOLORBTN:
            return reinterpret_cast<LRESULT>(formBrush_);
        case WM_DPICHANGED: {
            LayOut(HIWORD(w));
            const RECT* suggested = reinterpret_cast<const RECT*>(l);
            (void)SetWindowPos(window_, nullptr, suggested->left, suggested->top,
                               suggested->right - suggested->left,
                               suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
            return 0;
        }
        case WM_CLOSE:
            Form_QueryUnload();
            (void)ShowWindow(window_, SW_HIDE);  // the loop ends after this event step
            return 0;
        case WM_QUERYENDSESSION:
            return TRUE;  // never refused
        case WM_ENDSESSION:
            if (w != FALSE) {
                Form_QueryUnload();
            }
            return 0;
        default:
            break;
    }
    return DefWindowProcW(window_, message, w, l);
}

void frmMain::OnCommand(int id, int code) {
    switch (id) {
        case kCmdCurrentConnections:
            return oManager.SetCurrentMode(layout::cmdCurrentConnections.View);
        case kCmdLocalIP:
            return oManager.SetCurrentMode(layout::cmdLocalIP.View);
        case kCmdAllowedIP:
            return oManager.SetCurrentMode(layout::cmdAllowedIP.View);
        case kCmdBlockedLocal:
            return oManager.SetCurrentMode(layout::cmdBlockedLocal.View);
        case kCmdBlockedRemote:
            return oManager.SetCurrentMode(layout::cmdBlockedRemote.View);
        case kCmdAdd:
            return cmdAdd_Click();
        case kCmdAddLocal:
            return AddLocalIPs(oManager, userMessages_);
        case kChkShowX:
        case kChkHideLocal:
            // The list box follows the rebuilt lines at the next timer tick.
            if (code == BN_CLICKED) {
                oManager.RefreshCurrentConnections();
            }
            return;
        case kMnuDelete:
            return mnuDelete_Click();
        default:
            return;
    }
}

void frmMain::cmdAdd_Click() {
    const int length = GetWindowTextLengthW(txtItem_);
    std::wstring text(std::size_t(length) + 1, L'\0');
    text.resize(std::size_t(GetWindowTextW(txtItem_, text.data(), length + 1)));
    AddToCurrentList(oManager, platform::Narrow(text).value_or(std::string()), userMessages_);
}

void frmMain::mnuDelete_Click() {
    DeleteSelectedItem(oManager, SelectedText());
    // The entries below the deleted one moved up: whatever sits in its row now, the user never
    // picked it, and a second Delete must not take it.
    (void)SendMessageW(lstMain_, LB_SETCURSEL, WPARAM(-1), 0);
}

std::string frmMain::SelectedText() const {
    const auto selected = int(SendMessageW(lstMain_, LB_GETCURSEL, 0, 0));
    if (selected < 0) {
        return {};
    }
    const auto length = int(SendMessageW(lstMain_, LB_GETTEXTLEN, selected, 0));
    if (length <= 0) {
        return {};
    }
    std::wstring text(std::size_t(length) + 1, L'\0');
    text.resize(std::size_t(
        SendMessageW(lstMain_, LB_GETTEXT, selected, reinterpret_cast<LPARAM>(text.data()))));
    return platform::Narrow(text).value_or(std::string());
}

void frmMain::CreateToolTip() {
    toolTip_ = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr,
                               WS_POPUP | TTS_NOPREFIX | TTS_ALWAYSTIP, CW_USEDEFAULT,
                               CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, window_, nullptr,
                               GetModuleHandleW(nullptr), nullptr);
    if (toolTip_ == nullptr) {
        return;  // the list works without it
    }
    TTTOOLINFOW tool{};
    tool.cbSize = sizeof tool;
    tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
    tool.hwnd = window_;
    tool.uId = reinterpret_cast<UINT_PTR>(lstMain_);
    tool.lpszText = LPSTR_TEXTCALLBACKW;  // asked for when it shows: the line under the pointer
    (void)SendMessageW(toolTip_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
    (void)SendMessageW(toolTip_, TTM_SETMAXTIPWIDTH, 0, 600);  // lines as the text breaks them
    (void)SetWindowSubclass(lstMain_, ListProcedure, 0, reinterpret_cast<DWORD_PTR>(this));
}

const wchar_t* frmMain::ToolTipText() {
    POINT pointer{};
    (void)GetCursorPos(&pointer);
    (void)ScreenToClient(lstMain_, &pointer);
    const auto found =
        DWORD(SendMessageW(lstMain_, LB_ITEMFROMPOINT, 0, MAKELPARAM(pointer.x, pointer.y)));
    toolTipLine_ = HIWORD(found) == 0 ? int(LOWORD(found)) : -1;
    toolTipText_.clear();
    if (toolTipLine_ >= 0 && oManager.CurrentMode == ModeCurrentConnections) {
        // Windows tells no user of a connection: the tooltip names its program and process.
        const std::string text = OwnerToolTip(oManager.OwnerOfConnectionLine(toolTipLine_),
                                              [](std::uint32_t) { return std::string(); });
        for (const wchar_t c : platform::Widen(text)) {
            toolTipText_ += c == L'\n' ? std::wstring(L"\r\n") : std::wstring(1, c);
        }
    }
    return toolTipText_.c_str();
}

LRESULT CALLBACK frmMain::ListProcedure(HWND list, UINT message, WPARAM w, LPARAM l, UINT_PTR,
                                        DWORD_PTR data) {
    if (message == WM_MOUSEMOVE) {
        // Another line under the pointer: the tooltip of the last one goes.
        auto* form = reinterpret_cast<frmMain*>(data);
        const auto found = DWORD(SendMessageW(list, LB_ITEMFROMPOINT, 0, l));
        const int line = HIWORD(found) == 0 ? int(LOWORD(found)) : -1;
        if (line != form->toolTipLine_ && form->toolTip_ != nullptr) {
            form->toolTipLine_ = line;
            (void)SendMessageW(form->toolTip_, TTM_POP, 0, 0);
        }
    }
    return DefSubclassProc(list, message, w, l);
}

void frmMain::lstMain_MouseUp(POINT screen) {
    // Delete runs through its own handler, from the event step the menu's choice posts.
    (void)TrackPopupMenu(mnuListBox_, TPM_LEFTALIGN | TPM_TOPALIGN | TPM_RIGHTBUTTON, screen.x,
                         screen.y, 0, window_, nullptr);
}

void frmMain::RefreshConnectionsIfChanged() {
    // Nobody sees the list box of a hidden window: its lines are built once it shows again.
    if (oManager.CurrentMode != ModeCurrentConnections || !IsShown()) {
        return;
    }
    ListBoxLines shown(lstMain_, [this](const std::wstring& line) { WidenListFor(line); });
    RefreshShownConnections(oManager, shown);
}

void frmMain::Form_Resize(WPARAM sizeType) {
    if (sizeType == SIZE_MINIMIZED) {
        // Hidden, it leaves the task bar and comes back through the notification icon only;
        // without one it stays in the task bar.
        if (trayAdded_) {
            (void)ShowWindow(window_, SW_HIDE);
        }
    } else if (sizeType == SIZE_RESTORED && IsWindowVisible(window_)) {
        oManager.RefreshCurrentConnections();
        RefreshConnectionsIfChanged();  // the list box caught up at once, not at the next tick
    }
}

void frmMain::Form_QueryUnload() {
    (void)oManager.SaveSettings();  // a failure has been told; the close goes on regardless
    bQuit = true;
}

void frmMain::ClearList() {
    (void)SendMessageW(lstMain_, LB_RESETCONTENT, 0, 0);
    listExtent_ = 0;
    (void)SendMessageW(lstMain_, LB_SETHORIZONTALEXTENT, 0, 0);
}

void frmMain::AppendToList(const std::string& text) {
    const std::wstring line = platform::Widen(text);
    (void)SendMessageW(lstMain_, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(line.c_str()));
    WidenListFor(line);
}

void frmMain::WidenListFor(const std::wstring& text) {
    // A long line (an IPv6 connection) stays whole: the list scrolls sideways instead.
    const HDC dc = GetDC(lstMain_);
    const HGDIOBJ old = SelectObject(dc, fonts_[kListFont]);
    SIZE size{};
    (void)GetTextExtentPoint32W(dc, text.c_str(), int(text.size()), &size);
    (void)SelectObject(dc, old);
    (void)ReleaseDC(lstMain_, dc);
    if (size.cx + 8 > listExtent_) {
        listExtent_ = size.cx + 8;
        (void)SendMessageW(lstMain_, LB_SETHORIZONTALEXTENT, WPARAM(listExtent_), 0);
    }
}

void frmMain::SetHeading(const std::string& text) {
    (void)SetWindowTextW(txtHead_, platform::Widen(text).c_str());
}

void frmMain::SetEditingEnabled(bool enabled) {
    mnuDeleteEnabled_ = enabled;
    (void)EnableMenuItem(mnuListBox_, kMnuDelete,
                         MF_BYCOMMAND | (enabled ? MF_ENABLED : MF_GRAYED));
    (void)EnableWindow(txtItem_, enabled);
    cmdAdd->SetEnabled(enabled);
}

Value frmMain::ShowOnlyConnectedValue() const {
    return std::int16_t(SendMessageW(chkShowX_, BM_GETCHECK, 0, 0) == BST_CHECKED ? 1 : 0);
}

Value frmMain::HideLocalValue() const {
    return std::int16_t(SendMessageW(chkHideLocal_, BM_GETCHECK, 0, 0) == BST_CHECKED ? 1 : 0);
}

void frmMain::ShowMessage(const std::string& text) {
    userMessages_.Show(text);
}

}  // namespace quarnel::win32
