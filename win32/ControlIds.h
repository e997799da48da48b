#pragma once

// The ids of the main window's controls, as its WM_COMMAND names them and GetDlgItem finds them
// (the buttons in a frame are children of that frame).
namespace quarnel::win32 {

enum ControlId : int {
    kTxtHead = 100,
    kLstMain,
    kTxtItem,
    kChkShowX,
    kChkHideLocal,
    kCmdAdd = 110,
    kCmdCurrentConnections,
    kCmdLocalIP,
    kCmdAllowedIP,
    kCmdBlockedLocal,
    kCmdBlockedRemote,
    kCmdAddLocal,
    kMnuDelete = 200,
};

}  // namespace quarnel::win32
