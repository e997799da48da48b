#pragma once

#include <windows.h>

#include <string>

#include "window/Messages.h"

namespace quarnel::win32 {

// The program's message boxes: the modal ones of the window's logic (no icon, the program's
// name as title), and one that holds nothing, for what the user should know while blocking
// goes on (it shows every such message told while it is open, one below the other).
class MessageBoxes final : public Messages {
public:
    MessageBoxes() = default;
    ~MessageBoxes() override;
    MessageBoxes(const MessageBoxes&) = delete;
    MessageBoxes& operator=(const MessageBoxes&) = delete;

    // The window the boxes belong to; none until it is made.
    void SetOwner(HWND owner) { owner_ = owner; }
    void Show(const std::string& text) override;
    bool Confirm(const std::string& text) override;
    // A message in the box that holds nothing: the loop runs on while it is open.
    void Notify(const std::string& text);
    // The box that holds nothing, while it is open; for the event step's dialog keys.
    HWND Note() const { return note_; }

private:
    static LRESULT CALLBACK NoteProcedure(HWND window, UINT message, WPARAM w, LPARAM l);

    HWND owner_ = nullptr;
    HWND note_ = nullptr;
    HWND noteText_ = nullptr;
    HFONT noteFont_ = nullptr;
};

}  // namespace quarnel::win32
