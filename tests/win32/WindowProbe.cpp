// Reports what the running Quarnel window shows, as Windows' own messages read it, for the
// window test that drives it with real clicks and keys: its title and size, the heading, the
// list's entries, the editing controls' state, where a control lies on the screen, and the
// stored rule lists. It also minimises or closes the window, which a desktop without a window
// manager offers no button for.
//
//   WindowProbe state | where CONTROL | where-item INDEX | where-note-ok | where-box-ok | stored |
//               minimise | close
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "win32/ControlIds.h"

namespace {

using namespace quarnel::win32;

HWND MainWindow() {
    return FindWindowW(L"Quarnel.frmMain", nullptr);
}

struct Search {
    int Id;
    HWND Found;
};

// The control of id anywhere in the window, inside the frames too.
HWND Control(HWND window, int id) {
    Search search{id, nullptr};
    EnumChildWindows(
        window,
        [](HWND child, LPARAM data) -> BOOL {
            auto* s = reinterpret_cast<Search*>(data);
            if (GetDlgCtrlID(child) == s->Id) {
                s->Found = child;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.Found;
}

std::string Narrow(const std::wstring& wide) {
    if (wide.empty()) {
        return {};
    }
    const int length = WideCharToMultiByte(CP_UTF8, 0, wide.data(), int(wide.size()), nullptr, 0,
                                           nullptr, nullptr);
    std::string text(std::size_t(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), int(wide.size()), text.data(), length, nullptr,
                        nullptr);
    return text;
}

// A window's text, asked of the window itself: GetWindowText gives another process only a
// control's caption, never what an edit box holds.
std::string TextOf(HWND window) {
    std::wstring text(std::size_t(SendMessageW(window, WM_GETTEXTLENGTH, 0, 0)) + 1, L'\0');
    text.resize(std::size_t(
        SendMessageW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()))));
    return Narrow(text);
}

int ControlNamed(const char* name) {
    const struct {
        const char* Name;
        int Id;
    } names[] = {{"txtHead", kTxtHead},
                 {"lstMain", kLstMain},
                 {"txtItem", kTxtItem},
                 {"chkShowX", kChkShowX},
                 {"chkHideLocal", kChkHideLocal},
                 {"cmdAdd", kCmdAdd},
                 {"cmdCurrentConnections", kCmdCurrentConnections},
                 {"cmdLocalIP", kCmdLocalIP},
                 {"cmdAllowedIP", kCmdAllowedIP},
                 {"cmdBlockedLocal", kCmdBlockedLocal},
                 {"cmdBlockedRemote", kCmdBlockedRemote},
                 {"cmdAddLocal", kCmdAddLocal}};
    for (const auto& entry : names) {
        if (std::strcmp(entry.Name, name) == 0) {
            return entry.Id;
        }
    }
    return -1;
}

void PrintCentre(RECT rect) {
    std::printf("%ld %ld\n", (rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2);
}

int State(HWND window) {
    RECT client{};
    GetClientRect(window, &client);
    std::printf("title: %s\n", TextOf(window).c_str());
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid)) {
        wchar_t path[MAX_PATH] = {};
        DWORD length = MAX_PATH;
        if (QueryFullProcessImageNameW(process, 0, path, &length)) {
            std::printf("program: %s\n", Narrow(path).c_str());
        }
        CloseHandle(process);
    }
    std::printf("client: %ld %ld\n", client.right, client.bottom);
    std::printf("visible: %d\n", IsWindowVisible(window) ? 1 : 0);
    std::printf("minimised: %d\n", IsIconic(window) ? 1 : 0);
    std::printf("heading: %s\n", TextOf(Control(window, kTxtHead)).c_str());
    std::printf("editing: %d %d\n", IsWindowEnabled(Control(window, kTxtItem)) ? 1 : 0,
                IsWindowEnabled(Control(window, kCmdAdd)) ? 1 : 0);
    std::printf("checks: %d %d\n", int(SendMessageW(Control(window, kChkShowX), BM_GETCHECK, 0, 0)),
                int(SendMessageW(Control(window, kChkHideLocal), BM_GETCHECK, 0, 0)));
    const HWND list = Control(window, kLstMain);
    const auto count = int(SendMessageW(list, LB_GETCOUNT, 0, 0));
    std::printf("items: %d\n", count);
    for (int i = 0; i < count; ++i) {
        std::wstring item(std::size_t(SendMessageW(list, LB_GETTEXTLEN, i, 0)) + 1, L'\0');
        item.resize(
            std::size_t(SendMessageW(list, LB_GETTEXT, i, reinterpret_cast<LPARAM>(item.data()))));
        std::printf("item: %s\n", Narrow(item).c_str());
    }
    std::printf("selected: %d\n", int(SendMessageW(list, LB_GETCURSEL, 0, 0)));
    std::printf("note: %d\n", FindWindowW(L"Quarnel.Note", nullptr) != nullptr ? 1 : 0);
    // A message box of the window's: its text (the static control of id 0xFFFF).
    if (const HWND box = FindWindowW(L"#32770", nullptr); box != nullptr) {
        std::printf("box: %s\n", TextOf(GetDlgItem(box, 0xFFFF)).c_str());
    }
    std::printf("windows: %d\n", [] {
        int n = 0;
        for (HWND w = FindWindowExW(nullptr, nullptr, L"Quarnel.frmMain", nullptr); w != nullptr;
             w = FindWindowExW(nullptr, w, L"Quarnel.frmMain", nullptr)) {
            ++n;
        }
        return n;
    }());
    return 0;
}

int Stored() {
    for (const wchar_t* name :
         {L"BlockedLocalPortsString", L"BlockedRemotePortsString", L"AllowedIPString"}) {
        wchar_t value[1024] = {};
        DWORD size = sizeof value;
        const LSTATUS found = RegGetValueW(HKEY_CURRENT_USER, L"Software\\Quarnel\\General", name,
                                           RRF_RT_REG_SZ, nullptr, value, &size);
        std::printf("%s: %s\n", Narrow(name).c_str(),
                    found == ERROR_SUCCESS ? Narrow(value).c_str() : "(none)");
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "state";
    if (command == "stored") {
        return Stored();
    }
    const HWND window = MainWindow();
    if (window == nullptr) {
        std::fprintf(stderr, "no Quarnel window\n");
        return 2;
    }
    if (command == "state") {
        return State(window);
    }
    if (command == "where-note-ok" || command == "where-box-ok") {
        const HWND note =
            FindWindowW(command == "where-note-ok" ? L"Quarnel.Note" : L"#32770", nullptr);
        RECT rect{};
        if (note == nullptr || !GetWindowRect(GetDlgItem(note, IDOK), &rect)) {
            return 2;
        }
        PrintCentre(rect);
        return 0;
    }
    if (command == "where" && argc > 2) {
        const HWND control =
            ControlNamed(argv[2]) < 0 ? nullptr : Control(window, ControlNamed(argv[2]));
        RECT rect{};
        if (control == nullptr || !GetWindowRect(control, &rect)) {
            return 2;
        }
        PrintCentre(rect);
        return 0;
    }
    if (command == "where-item" && argc > 2) {
        const HWND list = Control(window, kLstMain);
        RECT item{};
        if (SendMessageW(list, LB_GETITEMRECT, std::atoi(argv[2]),
                         reinterpret_cast<LPARAM>(&item)) == LB_ERR) {
            return 2;
        }
        MapWindowPoints(list, nullptr, reinterpret_cast<POINT*>(&item), 2);
        PrintCentre(item);
        return 0;
    }
    if (command == "minimise") {
        return ShowWindow(window, SW_MINIMIZE), 0;
    }
    if (command == "close") {
        return PostMessageW(window, WM_CLOSE, 0, 0) ? 0 : 1;
    }
    std::fprintf(stderr,
                 "usage: WindowProbe state|where CONTROL|where-item N|stored|minimise|close\n");
    return 2;
}
