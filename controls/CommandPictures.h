#pragma once

#include <QImage>

#include "controls/CommandStateMachine.h"

namespace quarnel {

// Size of every state picture, in pixels.
inline constexpr int PictureWidth = 64;
inline constexpr int PictureHeight = 25;

// The state picture of one look, drawn from its table of ring colours on first use and shared
// by every button of the process. Only its outer ring of 4 pixels is ever copied to a button.
const QImage& CommandPicture(Picture picture);

}  // namespace quarnel
