#pragma once

#include <windows.h>

#include <string>

namespace quarnel::platform {

// One running Quarnel per user: a named mutex in the user's session, its name carrying the
// user's identity (so that a program run as another user on the same desktop is not counted). A
// second start asks the first to show its window, through a message to it, and ends.
class SingleInstance {
public:
    // name tells programs apart ("Quarnel"); tests give names of their own.
    explicit SingleInstance(std::wstring name = L"Quarnel");
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // False when another instance of this user holds the mutex. When it cannot be made for
    // another reason, nobody is known to run: true.
    [[nodiscard]] bool Claim();
    // The message a second start posts to the first's window, asking it to show itself.
    static UINT ShowMessage();
    // For a second start: asks the window of windowClass, the first's, to show itself, and lets
    // it come to the front; whether there was one to ask.
    static bool AskToShow(const wchar_t* windowClass);

private:
    std::wstring name_;
    HANDLE mutex_ = nullptr;
};

}  // namespace quarnel::platform
