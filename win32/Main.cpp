#include <windows.h>

#include "win32/App.h"

int WINAPI wWinMain(HINSTANCE /*instance*/, HINSTANCE /*previous*/, PWSTR /*commandLine*/,
                    int /*show*/) {
    quarnel::win32::App app;
    return app.Main();
}
