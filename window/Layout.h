#pragma once

#include <array>
#include <cstdint>

#include "engine/Manager.h"

// The main window as both front ends lay it out: every control's place, caption, font and
// colours. Places are in twips (1/1440 inch, 15 to the pixel at 96 dots per inch), each within
// its container: the window, or for a button in a frame, that frame.
namespace quarnel::layout {

inline constexpr int TwipsPerPixel = 15;

struct Rect {
    int Left = 0, Top = 0, Width = 0, Height = 0;  // twips

    // The same in pixels, cut to whole pixels as the window's own scale does.
    constexpr Rect Pixels() const {
        return {Left / TwipsPerPixel, Top / TwipsPerPixel, Width / TwipsPerPixel,
                Height / TwipsPerPixel};
    }
};

struct Colour {
    std::uint8_t Red = 0, Green = 0, Blue = 0;
};

struct Font {
    const char* Face;
    double Points;
    bool Bold;
};

// A text box, list box or check box.
struct Control {
    Rect Where;
    const char* Caption;  // the text it starts with; none for nullptr
    Font TextFont;
};

// A frame: a caption over a border, holding buttons.
struct Frame {
    Rect Where;
    const char* Caption;
    Colour CaptionColour;
};

// A Command button: in a frame (Where is then within it) or on the window (In is nullptr).
struct Button {
    const Frame* In;
    Rect Where;
    const char* Caption;
    std::int16_t View = -1;  // the view mode its click selects; -1 for another action
};

// The window: a fixed client area of 8460 x 7770 twips, 564 x 518 pixels.
inline constexpr int ClientWidth = 8460, ClientHeight = 7770;
inline constexpr Colour FormBackground{251, 253, 251};
// The milliseconds between the list refresh timer's looks at the connection lines.
inline constexpr int ListRefreshInterval = 500;

inline constexpr Font ButtonFont{"MS Sans Serif", 9.75, false};
inline constexpr Font FrameFont{"Arial", 9.75, true};

inline constexpr Control txtHead{{90, 90, 4545, 360}, "Choose...", {"Arial", 9.75, true}};
inline constexpr Control lstMain{{90, 390, 4545, 6555}, nullptr, {"Arial", 9, false}};
inline constexpr Control txtItem{{90, 6960, 3795, 375}, "", {"Arial", 8.25, false}};
inline constexpr Button cmdAdd{nullptr, {3900, 6960, 735, 405}, "Add"};

inline constexpr Frame Frame1{{5010, 60, 3375, 1125}, "Connections ", {29, 128, 175}};
inline constexpr Button cmdCurrentConnections{
    &Frame1, {300, 390, 2745, 495}, "Show Current Connections", ModeCurrentConnections};
// Both check boxes start checked and keep the system's window colours.
inline constexpr Control chkShowX{
    {5220, 1320, 2835, 240}, "Show only connected ports", {"Arial", 9.75, false}};
inline constexpr Control chkHideLocal{
    {5220, 1680, 2835, 240}, "Hide Local Connections", {"Arial", 9.75, false}};

inline constexpr Frame Frame2{{5010, 2130, 3375, 1875}, "Blocked Ports ", {192, 0, 0}};
inline constexpr Button cmdBlockedLocal{
    &Frame2, {300, 480, 2745, 495}, "Blocked Local Ports", ModeBlockedLocalPorts};
inline constexpr Button cmdBlockedRemote{
    &Frame2, {300, 1020, 2745, 495}, "Blocked Remote Ports", ModeBlockedRemotePorts};

inline constexpr Frame Frame3{{5010, 4170, 3375, 1215}, "Allowed IPs", {0, 128, 0}};
inline constexpr Button cmdAllowedIP{
    &Frame3, {270, 390, 2745, 495}, "Allowed IP Addreses", ModeAllowedIP};

inline constexpr Frame Frame4{{5010, 5610, 3375, 1755}, "Local IPs", {50, 102, 239}};
inline constexpr Button cmdLocalIP{
    &Frame4, {240, 420, 2745, 495}, "Local IP Addresses", ModeLocalIP};
inline constexpr Button cmdAddLocal{&Frame4, {240, 960, 2745, 495}, "Add Local IPs to Allowed"};

// The five buttons that switch the view.
inline constexpr std::array<const Button*, 5> ViewButtons{
    &cmdCurrentConnections, &cmdLocalIP, &cmdAllowedIP, &cmdBlockedLocal, &cmdBlockedRemote};

// The pop-up menu of the list box.
inline constexpr const char* mnuDelete = "Delete";

}  // namespace quarnel::layout
