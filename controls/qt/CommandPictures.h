#pragma once

#include <QImage>

#include "controls/PicturePixels.h"

namespace quarnel {

// The state picture of one look as an image, made once and shared by every button.
const QImage& CommandPicture(Picture picture);

}  // namespace quarnel
