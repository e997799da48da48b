#include "win32/FrameBox.h"

#include <algorithm>

#include "win32/WindowObject.h"

namespace quarnel::win32 {

namespace {

constexpr wchar_t kClassName[] = L"Quarnel.Frame";
constexpr int kCaptionLeft = 8;  // pixels from the frame's left to its caption

}  // namespace

void FrameBox::Register() {
    RegisterWindowClass(kClassName, Procedure);
}

FrameBox::FrameBox(HWND parent, const layout::Frame& frame)
    : caption_(frame.Caption),
      captionColour_(
          RGB(frame.CaptionColour.Red, frame.CaptionColour.Green, frame.CaptionColour.Blue)) {
    // A container of tab stops: the dialog keys walk into the buttons inside it.
    window_ = CreateWindowExW(WS_EX_CONTROLPARENT, kClassName, L"",
                              WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN, 0, 0, 10, 10, parent,
                              nullptr, GetModuleHandleW(nullptr), this);
}

FrameBox::~FrameBox() {
    if (window_ != nullptr) {
        SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
        (void)DestroyWindow(window_);
    }
}

void FrameBox::SetFont(HFONT font) {
    font_ = font;
    (void)InvalidateRect(window_, nullptr, TRUE);
}

LRESULT CALLBACK FrameBox::Procedure(HWND window, UINT message, WPARAM w, LPARAM l) {
    auto* frame = WindowObject<FrameBox>(window, message, l);
    switch (message) {
        case WM_PAINT:
            if (frame != nullptr) {
                frame->window_ = window;
                frame->Paint();
                return 0;
            }
            break;
        case WM_ERASEBKGND:
            return 1;  // the paint fills it
        // The buttons' presses and their background are the window's business.
        case WM_COMMAND:
        case WM_CTLCOLORBTN:
            return SendMessageW(GetParent(window), message, w, l);
        default:
            break;
    }
    return DefWindowProcW(window, message, w, l);
}

void FrameBox::Paint() {
    PAINTSTRUCT paint{};
    const HDC screen = BeginPaint(window_, &paint);
    RECT client{};
    (void)GetClientRect(window_, &client);
    // Drawn off screen, then shown at once: nothing flickers while the caption is drawn over
    // the border.
    const HDC dc = CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = std::max<LONG>(client.right, 1);
    info.bmiHeader.biHeight = -std::max<LONG>(client.bottom, 1);
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    const HBITMAP surface = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    const HGDIOBJ oldSurface = SelectObject(dc, surface);

    const auto background = reinterpret_cast<HBRUSH>(
        SendMessageW(GetParent(window_), WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
                     reinterpret_cast<LPARAM>(window_)));
    const HBRUSH fill = background != nullptr ? background : GetSysColorBrush(COLOR_3DFACE);
    (void)FillRect(dc, &client, fill);
    const HGDIOBJ oldFont =
        SelectObject(dc, font_ != nullptr ? font_ : GetStockObject(DEFAULT_GUI_FONT));
    TEXTMETRICW metrics{};
    (void)GetTextMetricsW(dc, &metrics);
    RECT border = client;
    border.top = metrics.tmHeight / 2;
    (void)DrawEdge(dc, &border, EDGE_ETCHED, BF_RECT);

    // The caption over the border, on the background.
    RECT text{kCaptionLeft, 0, client.right, metrics.tmHeight};
    (void)DrawTextA(dc, caption_.c_str(), int(caption_.size()), &text,
                    DT_LEFT | DT_SINGLELINE | DT_NOPREFIX | DT_CALCRECT);
    RECT behind = text;
    behind.left -= 2;
    behind.right += 2;
    (void)FillRect(dc, &behind, fill);
    (void)SetTextColor(dc, captionColour_);
    (void)SetBkMode(dc, TRANSPARENT);
    (void)DrawTextA(dc, caption_.c_str(), int(caption_.size()), &text,
                    DT_LEFT | DT_SINGLELINE | DT_NOPREFIX);
    (void)SelectObject(dc, oldFont);

    (void)BitBlt(screen, 0, 0, client.right, client.bottom, dc, 0, 0, SRCCOPY);
    (void)SelectObject(dc, oldSurface);
    if (surface != nullptr) {
        (void)DeleteObject(surface);
    }
    (void)DeleteDC(dc);
    (void)EndPaint(window_, &paint);
}

}  // namespace quarnel::win32
