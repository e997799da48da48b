#include "controls/CommandGeometry.h"

#include <algorithm>
#include <cmath>

namespace quarnel {
namespace {

// Sizes of the state pictures and their corners, in twips.
constexpr int Inset = 1;
constexpr int Corner = 60;
constexpr int PictureWidth = 960;
constexpr int PictureHeight = 375;
constexpr int EdgeWidth = PictureWidth - 2 * Corner;    // 840
constexpr int EdgeHeight = PictureHeight - 2 * Corner;  // 255
constexpr int FarX = PictureWidth - Corner;             // 900
constexpr int FarY = PictureHeight - Corner;            // 315

PixelRect Pixels(int x, int y, int width, int height) {
    return {TwipsToPixels(x), TwipsToPixels(y), TwipsToPixels(width), TwipsToPixels(height)};
}

// The dots of a line from (x1, y1) towards (x2, y2), without the end point; lines are either
// horizontal or vertical.
void AddDots(std::vector<PixelPoint>& dots, PixelPoint from, PixelPoint to) {
    const int dx = (to.X > from.X) - (to.X < from.X);
    const int dy = (to.Y > from.Y) - (to.Y < from.Y);
    for (PixelPoint p = from; p != to; p = {p.X + 2 * dx, p.Y + 2 * dy}) {
        dots.push_back(p);
        if (PixelPoint{p.X + dx, p.Y + dy} == to) {
            break;
        }
    }
}

}  // namespace

int TwipsToPixels(int twips) {
    return int(std::lround(double(twips) / TwipsPerPixel));
}

std::array<Slice, 8> FrameSlices(int width, int height) {
    const int w = width * TwipsPerPixel;
    const int h = height * TwipsPerPixel;
    return {{
        {Pixels(Inset, Inset, Corner, Corner), Pixels(0, 0, Corner, Corner)},
        {Pixels(Corner, Inset, w - 2 * Corner, Corner), Pixels(Corner, Inset, EdgeWidth, Corner)},
        {Pixels(w - Corner, Inset, Corner, Corner), Pixels(FarX, Inset, Corner, Corner)},
        {Pixels(w - Corner, Corner, Corner, h - 2 * Corner),
         Pixels(FarX, Corner, Corner, EdgeHeight)},
        {Pixels(w - Corner, h - Corner, Corner, Corner), Pixels(FarX, FarY, Corner, Corner)},
        {Pixels(Corner, h - Corner, w - 2 * Corner, Corner),
         Pixels(Corner, FarY, EdgeWidth, Corner)},
        {Pixels(Inset, h - Corner, Corner, Corner), Pixels(0, FarY, Corner, Corner)},
        {Pixels(Inset, Corner, Corner, h - 2 * Corner), Pixels(Inset, Corner, Corner, EdgeHeight)},
    }};
}

std::vector<PixelPoint> FocusDots(int width, int height) {
    const int w = width * TwipsPerPixel;
    const int h = height * TwipsPerPixel;
    auto at = [](int x, int y) { return PixelPoint{TwipsToPixels(x), TwipsToPixels(y)}; };
    std::vector<PixelPoint> dots;
    AddDots(dots, at(60, 60), at(60, h - 60));          // LeftLine
    AddDots(dots, at(60, 60), at(w - 60, 60));          // TopLine
    AddDots(dots, at(w - 70, 60), at(w - 70, h - 60));  // RightLine
    AddDots(dots, at(60, h - 70), at(w - 60, h - 70));  // BottomLine
    auto byRowThenColumn = [](PixelPoint a, PixelPoint b) {
        return a.Y != b.Y ? a.Y < b.Y : a.X < b.X;
    };
    std::sort(dots.begin(), dots.end(), byRowThenColumn);
    dots.erase(std::unique(dots.begin(), dots.end()), dots.end());
    return dots;
}

int CaptionTop(int height, int textHeight) {
    return int(std::nearbyint((height - textHeight) / 2.0));  // the default rounding: to even
}

}  // namespace quarnel
