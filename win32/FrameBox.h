#pragma once

#include <windows.h>

#include <string>

#include "window/Layout.h"

namespace quarnel::win32 {

// A frame of the window: an etched border with its caption in the frame's colour, and the
// container of the buttons placed in it, whose presses it hands on to the window.
class FrameBox {
public:
    static void Register();

    FrameBox(HWND parent, const layout::Frame& frame);
    ~FrameBox();
    FrameBox(const FrameBox&) = delete;
    FrameBox& operator=(const FrameBox&) = delete;

    HWND Handle() const { return window_; }
    void SetFont(HFONT font);

private:
    static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM w, LPARAM l);
    void Paint();

    HWND window_ = nullptr;
    std::string caption_;
    COLORREF captionColour_;
    HFONT font_ = nullptr;  // the window's, not owned
};

}  // namespace quarnel::win32
