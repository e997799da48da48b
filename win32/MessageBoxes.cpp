#include "win32/MessageBoxes.h"

#include "platform/windows/WideText.h"
#include "win32/WindowObject.h"
#include "window/AppIdentity.h"

namespace quarnel::win32 {

namespace {

constexpr wchar_t kNoteClass[] = L"Quarnel.Note";
constexpr int kNoteOk = 1;  // IDOK: Enter in the box presses it

std::wstring Title() {
    return platform::Widen(ApplicationName);
}

// Line ends as an edit box shows them.
std::wstring EditText(const std::string& text) {
    std::wstring shown;
    for (const wchar_t c : platform::Widen(text)) {
        if (c == L'\n') {
            shown += L"\r\n";
        } else {
            shown += c;
        }
    }
    return shown;
}

}  // namespace

MessageBoxes::~MessageBoxes() {
    if (note_ != nullptr) {
        (void)DestroyWindow(note_);
    }
    if (noteFont_ != nullptr) {
        (void)DeleteObject(noteFont_);
    }
}

void MessageBoxes::Show(const std::string& text) {
    (void)MessageBoxW(owner_, platform::Widen(text).c_str(), Title().c_str(), MB_OK);
}

bool MessageBoxes::Confirm(const std::string& text) {
    return MessageBoxW(owner_, platform::Widen(text).c_str(), Title().c_str(), MB_OKCANCEL) == IDOK;
}

void MessageBoxes::Notify(const std::string& text) {
    if (note_ != nullptr && IsWindow(note_)) {
        const int length = GetWindowTextLengthW(noteText_);
        SendMessageW(noteText_, EM_SETSEL, length, length);
        const std::wstring more = L"\r\n\r\n" + EditText(text);
        SendMessageW(noteText_, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(more.c_str()));
        return;
    }
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    RegisterWindowClass(kNoteClass, NoteProcedure, 0, GetSysColorBrush(COLOR_3DFACE));

    const UINT dpi = owner_ != nullptr ? GetDpiForWindow(owner_) : 96;
    const auto scaled = [dpi](int pixels) { return MulDiv(pixels, int(dpi), 96); };
    RECT frame{0, 0, scaled(460), scaled(200)};
    constexpr DWORD kStyle = WS_POPUP | WS_CAPTION | WS_SYSMENU;
    (void)AdjustWindowRectExForDpi(&frame, kStyle, FALSE, WS_EX_DLGMODALFRAME, dpi);
    note_ = CreateWindowExW(WS_EX_DLGMODALFRAME, kNoteClass, Title().c_str(), kStyle, CW_USEDEFAULT,
                            CW_USEDEFAULT, frame.right - frame.left, frame.bottom - frame.top,
                            owner_, nullptr, instance, this);
    if (note_ == nullptr) {
        return Show(text);  // a box that holds the loop is better than none
    }
    if (noteFont_ == nullptr) {
        NONCLIENTMETRICSW metrics{};
        metrics.cbSize = sizeof metrics;
        (void)SystemParametersInfoForDpi(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0, dpi);
        noteFont_ = CreateFontIndirectW(&metrics.lfMessageFont);
    }
    noteText_ = CreateWindowExW(
        0, L"EDIT", EditText(text).c_str(),
        WS_CHILD | WS_VISIBLE | WS_VSCROLL | ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL,
        scaled(12), scaled(12), scaled(436), scaled(140), note_, nullptr, instance, nullptr);
    const HWND ok =
        CreateWindowExW(0, L"BUTTON", L"OK", WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON,
                        scaled(364), scaled(162), scaled(84), scaled(26), note_,
                        reinterpret_cast<HMENU>(static_cast<INT_PTR>(kNoteOk)), instance, nullptr);
    for (const HWND child : {noteText_, ok}) {
        SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(noteFont_), FALSE);
    }
    // Centred over the window it belongs to, or the screen.
    RECT over{};
    if (owner_ == nullptr || !IsWindowVisible(owner_) || !GetWindowRect(owner_, &over)) {
        (void)SystemParametersInfoW(SPI_GETWORKAREA, 0, &over, 0);
    }
    RECT own{};
    (void)GetWindowRect(note_, &own);
    (void)SetWindowPos(note_, HWND_TOP,
                       over.left + ((over.right - over.left) - (own.right - own.left)) / 2,
                       over.top + ((over.bottom - over.top) - (own.bottom - own.top)) / 2, 0, 0,
                       SWP_NOSIZE | SWP_SHOWWINDOW);
    (void)SetFocus(ok);
}

LRESULT CALLBACK MessageBoxes::NoteProcedure(HWND window, UINT message, WPARAM w, LPARAM l) {
    auto* boxes = WindowObject<MessageBoxes>(window, message, l);
    switch (message) {
        case WM_COMMAND:
            if (LOWORD(w) == kNoteOk || LOWORD(w) == IDCANCEL) {
                (void)DestroyWindow(window);
                return 0;
            }
            break;
        case WM_CLOSE:
            (void)DestroyWindow(window);
            return 0;
        case WM_DESTROY:
            if (boxes != nullptr && boxes->note_ == window) {
                boxes->note_ = nullptr;
                boxes->noteText_ = nullptr;
            }
            break;
        default:
            break;
    }
    return DefWindowProcW(window, message, w, l);
}

}  // namespace quarnel::win32
