#include "controls/qt/CommandPictures.h"

#include <cstddef>

namespace quarnel {

const QImage& CommandPicture(Picture picture) {
    static const std::array<QImage, 6> images = [] {
        std::array<QImage, 6> made;
        for (std::size_t i = 0; i < made.size(); ++i) {
            const PicturePixels& pixels = CommandPicturePixels(static_cast<Picture>(i));
            QImage image(PictureWidth, PictureHeight, QImage::Format_RGB32);
            for (int y = 0; y < PictureHeight; ++y) {
                for (int x = 0; x < PictureWidth; ++x) {
                    image.setPixel(x, y, 0xFF000000u | pixels[std::size_t(y * PictureWidth + x)]);
                }
            }
            made[i] = std::move(image);
        }
        return made;
    }();
    return images[static_cast<std::size_t>(picture)];
}

}  // namespace quarnel
