#pragma once

#include <windows.h>

namespace quarnel::win32 {

// The object behind a window of ours: handed to CreateWindowEx as its creation parameter and
// kept in the window's user data, where its class's window procedure finds it for every message
// (none before WM_NCCREATE, nor after the object cleared it).
template <typename T>
T* WindowObject(HWND window, UINT message, LPARAM l) {
    if (message == WM_NCCREATE) {
        auto* object = static_cast<T*>(reinterpret_cast<CREATESTRUCTW*>(l)->lpCreateParams);
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(object));
        return object;
    }
    return reinterpret_cast<T*>(GetWindowLongPtrW(window, GWLP_USERDATA));
}

// Registers a window class of this program, with the arrow as its pointer. A second
// registration of the same class fails harmlessly.
inline void RegisterWindowClass(const wchar_t* name, WNDPROC procedure, UINT style = 0,
                                HBRUSH background = nullptr, HICON icon = nullptr,
                                HICON smallIcon = nullptr) {
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = style;
    windowClass.lpfnWndProc = procedure;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.hIcon = icon;
    windowClass.hIconSm = smallIcon;
    windowClass.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
    windowClass.hbrBackground = background;
    windowClass.lpszClassName = name;
    (void)RegisterClassExW(&windowClass);
}

}  // namespace quarnel::win32
