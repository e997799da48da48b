#pragma once

#include <array>
#include <cstdint>

#include "controls/CommandStateMachine.h"

namespace quarnel {

// Size of every state picture, in pixels.
inline constexpr int PictureWidth = 64;
inline constexpr int PictureHeight = 25;

// The pixels of a state picture, row by row from the top, each 0x00RRGGBB.
using PicturePixels = std::array<std::uint32_t, PictureWidth * PictureHeight>;

// The state picture of one look, drawn from its table of ring colours on first use and shared
// by every button of the process; each toolkit's painter makes its own image of it. Only its
// outer ring of 4 pixels is ever copied to a button.
const PicturePixels& CommandPicturePixels(Picture picture);

}  // namespace quarnel
