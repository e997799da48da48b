#include <windows.h>

#include <gtest/gtest.h>

#include "platform/windows/SingleInstance.h"

namespace quarnel::testing {
namespace {

using platform::SingleInstance;

UINT received = 0;
LRESULT CALLBACK RecordShow(HWND window, UINT message, WPARAM w, LPARAM l) {
    if (message == SingleInstance::ShowMessage()) {
        ++received;
        return 0;
    }
    return DefWindowProcW(window, message, w, l);
}

TEST(SingleInstance, OnlyOneHoldsItAndASecondStartAsksTheFirstsWindowToShow) {
    {
        SingleInstance first(L"QuarnelTests");
        ASSERT_TRUE(first.Claim());
        SingleInstance second(L"QuarnelTests");
        EXPECT_FALSE(second.Claim());
        SingleInstance other(L"QuarnelTests.Other");
        EXPECT_TRUE(other.Claim());
    }
    SingleInstance after(L"QuarnelTests");
    EXPECT_TRUE(after.Claim());  // the first has ended

    const wchar_t* kClass = L"QuarnelTests.Window";
    EXPECT_FALSE(SingleInstance::AskToShow(kClass));  // nobody to ask
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = RecordShow;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = kClass;
    ASSERT_NE(RegisterClassW(&windowClass), 0);
    const HWND window = CreateWindowW(kClass, L"", WS_OVERLAPPEDWINDOW, 0, 0, 10, 10, nullptr,
                                      nullptr, windowClass.hInstance, nullptr);
    ASSERT_NE(window, nullptr);  // hidden, as the first's window is while it sits in the tray
    EXPECT_TRUE(SingleInstance::AskToShow(kClass));
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        DispatchMessageW(&message);
    }
    EXPECT_EQ(received, 1u);
    (void)DestroyWindow(window);
}

}  // namespace
}  // namespace quarnel::testing
