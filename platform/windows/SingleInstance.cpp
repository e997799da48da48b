#include "platform/windows/SingleInstance.h"

#include <sddl.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace quarnel::platform {

namespace {

// The user's SID as text ("S-1-5-21-..."), empty where it cannot be had.
std::wstring UserSid() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return {};
    }
    const std::unique_ptr<void, decltype(&CloseHandle)> tokenOwner(token, CloseHandle);
    DWORD size = 0;
    (void)GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<std::uint8_t> user(size);
    if (size == 0 || !GetTokenInformation(token, TokenUser, user.data(), size, &size)) {
        return {};
    }
    wchar_t* text = nullptr;
    if (!ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid, &text)) {
        return {};
    }
    std::wstring sid(text);
    (void)LocalFree(text);
    return sid;
}

}  // namespace

SingleInstance::SingleInstance(std::wstring name) : name_(std::move(name)) {}

SingleInstance::~SingleInstance() {
    if (mutex_ != nullptr) {
        (void)CloseHandle(mutex_);
    }
}

bool SingleInstance::Claim() {
    const std::wstring mutexName = L"Local\\" + name_ + L".Running." + UserSid();
    mutex_ = CreateMutexW(nullptr, FALSE, mutexName.c_str());
    if (mutex_ != nullptr && GetLastError() == ERROR_ALREADY_EXISTS) {
        (void)CloseHandle(mutex_);
        mutex_ = nullptr;
        return false;
    }
    return true;  // made, or not made at all: nobody is known to run
}

UINT SingleInstance::ShowMessage() {
    static const UINT message = RegisterWindowMessageW(L"Quarnel.ShowYourself");
    return message;
}

bool SingleInstance::AskToShow(const wchar_t* windowClass) {
    const HWND first = FindWindowW(windowClass, nullptr);
    if (first == nullptr) {
        return false;
    }
    // Only the program in the foreground may hand the foreground on: this one, just started.
    DWORD pid = 0;
    (void)GetWindowThreadProcessId(first, &pid);
    (void)AllowSetForegroundWindow(pid);
    return PostMessageW(first, ShowMessage(), 0, 0) != 0;
}

}  // namespace quarnel::platform
