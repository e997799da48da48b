#include "win32/Command.h"

#include <array>
#include <cmath>
#include <cstddef>
#include <utility>
#include <vector>

#include "controls/AccessKey.h"
#include "controls/CommandGeometry.h"
#include "controls/PicturePixels.h"
#include "platform/windows/WideText.h"
#include "win32/WindowObject.h"

namespace quarnel::win32 {

namespace {

constexpr wchar_t kClassName[] = L"Quarnel.Command";
constexpr UINT_PTR kTmrMouse = 1;
constexpr UINT kHoverInterval = 100;  // ms between looks under the pointer
constexpr int kCaptionMargin = 4;     // pixels kept free of the caption left and right

constexpr COLORREF kCaptionEnabled = RGB(0x00, 0x00, 0x00);
constexpr COLORREF kCaptionDisabled = RGB(0xC0, 0xC0, 0xC0);

// A 32-bit top-down DIB section of width x height; its bits through bits.
HBITMAP MakeSurface(HDC dc, int width, int height, std::uint32_t** bits) {
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;  // rows from the top
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* pixels = nullptr;
    const HBITMAP bitmap = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &pixels, nullptr, 0);
    *bits = static_cast<std::uint32_t*>(pixels);
    return bitmap;
}

// The six state pictures as memory DCs to copy from, made on first use and kept while the
// process runs.
class PictureDcs {
public:
    PictureDcs() {
        for (std::size_t i = 0; i < dcs_.size(); ++i) {
            dcs_[i] = CreateCompatibleDC(nullptr);
            std::uint32_t* bits = nullptr;
            bitmaps_[i] = MakeSurface(dcs_[i], PictureWidth, PictureHeight, &bits);
            if (bitmaps_[i] == nullptr || bits == nullptr) {
                continue;  // a picture that cannot be made frames nothing
            }
            const PicturePixels& pixels = CommandPicturePixels(static_cast<Picture>(i));
            for (std::size_t p = 0; p < pixels.size(); ++p) {
                bits[p] = pixels[p];  // 0x00RRGGBB is a DIB's own order
            }
            old_[i] = SelectObject(dcs_[i], bitmaps_[i]);
        }
    }
    ~PictureDcs() {
        for (std::size_t i = 0; i < dcs_.size(); ++i) {
            if (old_[i] != nullptr) {
                (void)SelectObject(dcs_[i], old_[i]);
            }
            if (bitmaps_[i] != nullptr) {
                (void)DeleteObject(bitmaps_[i]);
            }
            (void)DeleteDC(dcs_[i]);
        }
    }
    PictureDcs(const PictureDcs&) = delete;
    PictureDcs& operator=(const PictureDcs&) = delete;

    HDC Of(Picture picture) const { return dcs_[static_cast<std::size_t>(picture)]; }

private:
    std::array<HDC, 6> dcs_{};
    std::array<HBITMAP, 6> bitmaps_{};
    std::array<HGDIOBJ, 6> old_{};
};

const PictureDcs& Pictures() {
    static const PictureDcs pictures;
    return pictures;
}

// The vertical face: white at the top, lavender grey at the bottom, or the reverse. Vertex 0 is
// (0, 0), vertex 1 the far corner, which the fill leaves out.
void FillGradient(HDC dc, int width, int height, bool inverted) {
    TRIVERTEX vertices[2] = {};
    const COLOR16 white[3] = {0xFF00, 0xFF00, 0xFF00};
    const COLOR16 lavender[3] = {0xC600, 0xC500, 0xD700};
    const COLOR16* top = inverted ? lavender : white;
    const COLOR16* bottom = inverted ? white : lavender;
    vertices[0] = {0, 0, top[0], top[1], top[2], 0};
    vertices[1] = {LONG(std::nearbyint(width - 1.0)),
                   LONG(std::nearbyint(height - 1.0)),
                   bottom[0],
                   bottom[1],
                   bottom[2],
                   0};
    GRADIENT_RECT mesh{1, 0};  // UpperLeft 1, LowerRight 0: the fill orders them itself
    (void)GradientFill(dc, vertices, 2, &mesh, 1, GRADIENT_FILL_RECT_V);
}

}  // namespace

void Command::Register() {
    RegisterWindowClass(kClassName, Procedure, CS_DBLCLKS);
}

Command::Command(HWND parent, int id, std::string caption) : id_(id), caption_(std::move(caption)) {
    window_ = CreateWindowExW(0, kClassName, L"", WS_CHILD | WS_VISIBLE | WS_TABSTOP, 0, 0, 105, 28,
                              parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                              GetModuleHandleW(nullptr), this);
    machine_.SetEnabled(true);
    Redraw();
}

Command::~Command() {
    if (window_ != nullptr) {
        SetWindowLongPtrW(window_, GWLP_USERDATA, 0);  // its last messages are not ours
        (void)DestroyWindow(window_);
    }
    ReleaseSurface();
}

void Command::SetCaption(std::string caption) {
    caption_ = std::move(caption);
    Redraw();
}

void Command::SetEnabled(bool enabled) {
    machine_.SetEnabled(enabled);
    if (window_ != nullptr) {
        (void)EnableWindow(window_, enabled);
    }
    Redraw();
}

void Command::Initialize() {
    machine_.Initialize();
    if (window_ != nullptr) {
        (void)SetTimer(window_, kTmrMouse, kHoverInterval, nullptr);
    }
}

void Command::SetFont(HFONT font) {
    font_ = font;
    Redraw();
}

void Command::AccessKeyPressed() {
    if (!machine_.IsEnabled()) {
        return;
    }
    // The button takes the focus first, so that its focus look is the one the key leaves.
    (void)SetFocus(window_);
    machine_.AccessKey();
}

LRESULT CALLBACK Command::Procedure(HWND window, UINT message, WPARAM w, LPARAM l) {
    auto* button = WindowObject<Command>(window, message, l);
    if (button == nullptr) {
        return DefWindowProcW(window, message, w, l);
    }
    button->window_ = window;
    return button->Handle(message, w, l);
}

LRESULT Command::Handle(UINT message, WPARAM w, LPARAM l) {
    switch (message) {
        case WM_PAINT:
            Paint();
            return 0;
        case WM_ERASEBKGND:
            return 1;  // every paint covers the whole button
        case WM_SIZE:
            Redraw();
            return 0;
        case WM_MOUSEMOVE:
            machine_.MouseMove();
            return 0;
        // The window system's button codes: 1 left, 2 right, 4 middle. The focus comes with the
        // press, before the button hears of it; the release reaches it wherever the pointer is.
        case WM_LBUTTONDOWN:
        case WM_LBUTTONDBLCLK:
            (void)SetFocus(window_);
            SetCapture(window_);
            capturing_ = true;
            machine_.MouseDown(LeftButton);
            return 0;
        case WM_RBUTTONDOWN:
        case WM_MBUTTONDOWN:
            machine_.MouseDown(message == WM_RBUTTONDOWN ? 2 : 4);
            return 0;
        case WM_LBUTTONUP:
        case WM_RBUTTONUP:
        case WM_MBUTTONUP:
            if (std::exchange(capturing_, false)) {
                (void)ReleaseCapture();
            }
            machine_.MouseUp(message == WM_LBUTTONUP   ? LeftButton
                             : message == WM_RBUTTONUP ? 2
                                                       : 4);
            return 0;
        case WM_SETFOCUS:
            machine_.FocusGained();
            return 0;
        case WM_KILLFOCUS:
            machine_.FocusLost();
            return 0;
        case WM_TIMER:
            if (w == kTmrMouse) {
                TmrMouse_Timer();
                return 0;
            }
            break;
        case WM_DESTROY:
            (void)KillTimer(window_, kTmrMouse);
            break;
        default:
            break;
    }
    return DefWindowProcW(window_, message, w, l);
}

void Command::TmrMouse_Timer() {
    // The window system finds no disabled window under the pointer, only what lies beneath it.
    POINT pointer{};
    const bool over =
        GetCursorPos(&pointer) && WindowFromPoint(pointer) == window_ && IsWindowEnabled(window_);
    machine_.TimerTick(over);
}

bool Command::EnsureSurface(int width, int height) {
    if (surface_ != nullptr && width == surfaceWidth_ && height == surfaceHeight_) {
        return true;
    }
    ReleaseSurface();
    if (width <= 0 || height <= 0) {
        return false;
    }
    surfaceDc_ = CreateCompatibleDC(nullptr);
    surface_ = MakeSurface(surfaceDc_, width, height, &surfaceBits_);
    if (surface_ == nullptr) {
        ReleaseSurface();
        return false;
    }
    surfaceOld_ = SelectObject(surfaceDc_, surface_);
    surfaceWidth_ = width;
    surfaceHeight_ = height;
    return true;
}

void Command::ReleaseSurface() {
    if (surfaceDc_ != nullptr && surfaceOld_ != nullptr) {
        (void)SelectObject(surfaceDc_, surfaceOld_);
    }
    if (surface_ != nullptr) {
        (void)DeleteObject(surface_);
    }
    if (surfaceDc_ != nullptr) {
        (void)DeleteDC(surfaceDc_);
    }
    surfaceDc_ = nullptr;
    surface_ = nullptr;
    surfaceOld_ = nullptr;
    surfaceBits_ = nullptr;
    surfaceWidth_ = surfaceHeight_ = 0;
}

void Command::PaintState(Picture picture, const Look& look) {
    const COLORREF captionColour = look.Enabled ? kCaptionEnabled : kCaptionDisabled;
    const std::wstring caption = platform::Widen(caption_);  // UTF-16, as Windows holds text
    accessKey_ = wchar_t(NextAccessKey(
        std::u16string_view(reinterpret_cast<const char16_t*>(caption.data()), caption.size()),
        look.Enabled, char16_t(accessKey_)));
    RECT client{};
    if (window_ == nullptr || !GetClientRect(window_, &client) ||
        !EnsureSurface(client.right, client.bottom)) {
        return;
    }
    const int width = client.right, height = client.bottom;
    HDC dc = surfaceDc_;

    // Cleared to the container's background, which shows past the rounded corners.
    const HWND parent = GetParent(window_);
    const HBRUSH background = reinterpret_cast<HBRUSH>(SendMessageW(
        parent, WM_CTLCOLORBTN, reinterpret_cast<WPARAM>(dc), reinterpret_cast<LPARAM>(window_)));
    (void)FillRect(dc, &client,
                   background != nullptr ? background : GetSysColorBrush(COLOR_WINDOW));
    FillGradient(dc, width, height, look.GradientInverted);

    // The frame: eight pieces of the state picture, corners kept, edges stretched.
    const HDC source = Pictures().Of(picture);
    (void)SetStretchBltMode(dc, COLORONCOLOR);
    for (const Slice& slice : FrameSlices(width, height)) {
        if (slice.Target.IsEmpty()) {
            continue;  // a button under 8 pixels has no room for edges
        }
        (void)StretchBlt(dc, slice.Target.X, slice.Target.Y, slice.Target.Width,
                         slice.Target.Height, source, slice.Source.X, slice.Source.Y,
                         slice.Source.Width, slice.Source.Height, SRCCOPY);
    }

    // The caption, word-wrapped and centred between margins; its block of lines centred too.
    const HGDIOBJ oldFont =
        SelectObject(dc, font_ != nullptr ? font_ : GetStockObject(DEFAULT_GUI_FONT));
    (void)SetTextColor(dc, captionColour);
    (void)SetBkMode(dc, TRANSPARENT);
    RECT measured{kCaptionMargin, 0, width - kCaptionMargin, height};
    const int textHeight = DrawTextA(dc, caption_.c_str(), int(caption_.size()), &measured,
                                     DT_CENTER | DT_WORDBREAK | DT_CALCRECT);
    RECT drawn{kCaptionMargin, CaptionTop(height, textHeight), width - kCaptionMargin, height};
    (void)DrawTextA(dc, caption_.c_str(), int(caption_.size()), &drawn, DT_CENTER | DT_WORDBREAK);
    (void)SelectObject(dc, oldFont);

    // The dotted focus rectangle inverts the pixels beneath it.
    if (look.FocusLines) {
        (void)GdiFlush();  // what GDI drew is in the bits before they are changed
        for (const PixelPoint& dot : FocusDots(width, height)) {
            if (dot.X >= 0 && dot.X < width && dot.Y >= 0 && dot.Y < height) {
                surfaceBits_[std::size_t(dot.Y) * std::size_t(width) + std::size_t(dot.X)] ^=
                    0x00FFFFFFu;
            }
        }
    }
    (void)InvalidateRect(window_, nullptr, FALSE);
}

void Command::Paint() {
    PAINTSTRUCT paint{};
    const HDC dc = BeginPaint(window_, &paint);
    if (surface_ != nullptr) {
        (void)BitBlt(dc, 0, 0, surfaceWidth_, surfaceHeight_, surfaceDc_, 0, 0, SRCCOPY);
    }
    (void)EndPaint(window_, &paint);
}

void Command::RaiseClick() {
    (void)SendMessageW(GetParent(window_), WM_COMMAND, MAKEWPARAM(id_, BN_CLICKED),
                       reinterpret_cast<LPARAM>(window_));
}

}  // namespace quarnel::win32
