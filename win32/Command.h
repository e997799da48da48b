#pragma once

#include <windows.h>

#include <string>

#include "controls/CommandStateMachine.h"

namespace quarnel::win32 {

// The push button of the window, as a child window of the class "Quarnel.Command": it paints
// itself from six state pictures over a white-to-lavender face (GradientFill, DrawTextA),
// follows the pointer, the mouse buttons, the focus and its access key (Alt and the character
// after the first "&" of the caption) through the state machine both front ends share, and tells
// its parent of a press with WM_COMMAND (BN_CLICKED) and its control id.
class Command final : private CommandView {
public:
    // Registers the window class; once, before the first button.
    static void Register();

    Command(HWND parent, int id, std::string caption);
    ~Command() override;
    Command(const Command&) = delete;
    Command& operator=(const Command&) = delete;

    HWND Handle() const { return window_; }
    int Id() const { return id_; }

    const std::string& Caption() const { return caption_; }
    void SetCaption(std::string caption);
    bool Enabled() const { return machine_.IsEnabled(); }
    // Stores the flag, carries it to the window (a disabled one gets no pointer, focus or keys)
    // and repaints.
    void SetEnabled(bool enabled);
    // Idle without a repaint; from now on the hover look ends within 100 ms of the pointer
    // leaving the button.
    void Initialize();
    ButtonState CurrentState() const { return machine_.CurrentState(); }
    void SetFont(HFONT font);

    // The access key the last paint registered, 0 for none.
    wchar_t AccessKey() const { return accessKey_; }
    // The access key was pressed with Alt: the button takes the focus and raises Click.
    void AccessKeyPressed();

private:
    static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM w, LPARAM l);
    LRESULT Handle(UINT message, WPARAM w, LPARAM l);

    void PaintState(Picture picture, const Look& look) override;
    void RaiseClick() override;
    void Redraw() { machine_.Redraw(); }
    void Paint();
    void TmrMouse_Timer();
    // The surface the paints draw into, the button's size; false when it cannot be made.
    bool EnsureSurface(int width, int height);
    void ReleaseSurface();

    HWND window_ = nullptr;
    int id_;
    std::string caption_;
    CommandStateMachine machine_{*this};
    HFONT font_ = nullptr;  // the parent's, not owned
    wchar_t accessKey_ = 0;
    bool capturing_ = false;
    // What the last paint drew, shown by WM_PAINT.
    HDC surfaceDc_ = nullptr;
    HBITMAP surface_ = nullptr;
    HGDIOBJ surfaceOld_ = nullptr;
    std::uint32_t* surfaceBits_ = nullptr;
    int surfaceWidth_ = 0, surfaceHeight_ = 0;
};

}  // namespace quarnel::win32
