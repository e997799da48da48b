#pragma once

#include <array>
#include <compare>
#include <vector>

namespace quarnel {

// A pixel of a button, counted from its top left corner.
struct PixelPoint {
    int X = 0;
    int Y = 0;

    auto operator<=>(const PixelPoint&) const = default;
};

// A rectangle of pixels: its top left pixel and its size.
struct PixelRect {
    int X = 0;
    int Y = 0;
    int Width = 0;
    int Height = 0;

    bool IsEmpty() const { return Width <= 0 || Height <= 0; }
    auto operator<=>(const PixelRect&) const = default;
};

// The frame is laid out in twips, 15 to the pixel at 96 dots per inch.
inline constexpr int TwipsPerPixel = 15;

// Twips to pixels, rounded to the nearest pixel (halves away from zero). Every frame value but
// the 1-twip inset is a whole number of pixels; the inset rounds to pixel 0.
int TwipsToPixels(int twips);

// One frame piece: where it goes on the button and where it comes from in the state picture.
struct Slice {
    PixelRect Target;
    PixelRect Source;
};

// The eight frame pieces in drawing order (corners at their size, edges stretched) for a
// button of width x height pixels. The picture's 56 x 17 centre is never used.
std::array<Slice, 8> FrameSlices(int width, int height);

// The pixels of the dotted focus rectangle for a button of width x height pixels: the left,
// top, right and bottom lines, each dotted every other pixel from its start and ending one pixel
// short of its end point. A pixel that two lines share appears once.
std::vector<PixelPoint> FocusDots(int width, int height);

// The top of a caption block of textHeight pixels centred in height pixels: half the spare
// height, halves rounded to the even neighbour.
int CaptionTop(int height, int textHeight);

}  // namespace quarnel
