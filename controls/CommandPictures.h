#pragma once

#include <array>
#include <cstdint>

#include "controls/CommandStateMachine.h"

namespace quarnel {

// Size of every state picture, in pixels.
inline constexpr int PictureWidth = 64;
inline constexpr int PictureHeight = 25;

// A state picture's pixels, row after row, each opaque 0xFFRRGGBB (as Qt's RGB32 images and
// Windows' 32-bit bitmaps keep them in memory).
using PicturePixels = std::array<std::uint32_t, PictureWidth * PictureHeight>;

// The state picture of one look, drawn from its table of ring colours on first use and shared
// by every button of the process. Only its outer ring of 4 pixels is ever copied to a button.
const PicturePixels& CommandPicture(Picture picture);

}  // namespace quarnel
