#include "controls/PicturePixels.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <numbers>

namespace quarnel {
namespace {

constexpr int Ring = 4;  // width of the frame ring and size of the corner blocks

// One ring colour of a side: a plain colour, or a run from Top at the top of a left or right
// side to Bottom at its bottom.
struct Run {
    constexpr Run(std::uint32_t colour) : Top(colour), Bottom(colour) {}
    constexpr Run(std::uint32_t top, std::uint32_t bottom) : Top(top), Bottom(bottom) {}
    std::uint32_t Top;
    std::uint32_t Bottom;
};

// The ring colours (0xRRGGBB) of one picture: top and left from the outside in, bottom and right
// from the inside out, as they read from the face outwards (Outward() turns those round).
struct Rings {
    std::array<std::uint32_t, Ring> Top;
    std::array<std::uint32_t, Ring> Bottom;
    std::array<Run, Ring> Left;
    std::array<Run, Ring> Right;
    // The outline lies on the very edge, so the corners round it off into the colours that
    // surround the idle button.
    bool OutlineOnEdge;
};

constexpr std::array<Rings, 6> RingTable{{
    // Normal
    {{0xDCD6C2, 0x003C74, 0xF3F3EE, 0xF3F3EE},
     {0xE2DFD6, 0xD6D0C5, 0x003C74, 0xFAFAF6},
     {{{0xE1DDCA, 0xE2DECB}, 0x003C74, {0xFDFDFC, 0xECEBE6}, {0xFDFDFC, 0xEBEBE5}}},
     {{{0xFBFBFA, 0xE4E2DA}, {0xF6F4F2, 0xE0DDD4}, 0x003C74, {0xEFEDDF, 0xF1EEE2}}},
     false},
    // HighLight
    {{0xDCD6C2, 0x003C74, 0xFFF0CF, 0xFDD889},
     {0xF8B330, 0xE59700, 0x003C74, 0xFAFAF6},
     {{{0xE1DDCA, 0xE2DECB}, 0x003C74, {0xFEDF9A, 0xF9B435}, {0xFCD279, 0xF8B535}}},
     {{{0xFCD279, 0xF8B535}, {0xFDE09B, 0xF8B435}, 0x003C74, {0xEFEDDF, 0xF1EEE2}}},
     false},
    // Pressed
    {{0xDCD6C2, 0x003C74, 0xD1CCC1, 0xDCD8CF},
     {0xEAE9E3, 0xF2F1EE, 0x003C74, 0xFAFAF6},
     {{{0xE1DDCA, 0xE2DECB}, 0x003C74, {0xD8D4CB, 0xDAD8CF}, {0xDDDAD1, 0xDFDED6}}},
     {{{0xE4E3DC, 0xE6E5DF}, {0xE5E4DD, 0xE6E5DF}, 0x003C74, {0xEFEDDF, 0xF1EEE2}}},
     false},
    // Selected
    {{0x003C74, 0xCEE7FF, 0xCEE7FF, 0xF3F3EE},
     {0xECEBE6, 0x6982EE, 0x6982EE, 0x003C74},
     {{0x003C74, {0xB7D0F4, 0x8BADE4}, {0xB8D1F4, 0x8BADE4}, 0xF3F3EE}},
     {{0xF3F3EE, {0xB8D0F5, 0x8BAFE5}, {0xB8D0F5, 0x8BAFE5}, 0x003C74}},
     true},
    // HighLightSelect
    {{0x003C74, 0xFFF0CF, 0xFFF0CF, 0xF3F3EE},
     {0xF3F3EE, 0xE59700, 0xE59700, 0x003C74},
     {{0x003C74, {0xFEDD95, 0xF9B83B}, {0xFCD279, 0xF9B73B}, 0xF3F3EE}},
     {{0xF3F3EE, {0xFEDD95, 0xF9B73A}, {0xFEDD95, 0xF9B73A}, 0x003C74}},
     true},
    // Disable
    {{0xECE9D8, 0xC9C7BA, 0xF5F4EA, 0xF5F4EA},
     {0xF5F4EA, 0xF5F4EA, 0xC9C7BA, 0xECE9D8},
     {{0xECE9D8, 0xC9C7BA, 0xF5F4EA, 0xF5F4EA}},
     {{0xF5F4EA, 0xF5F4EA, 0xC9C7BA, 0xECE9D8}},
     false},
}};

template <typename T>
std::array<T, Ring> Outward(std::array<T, Ring> insideOut) {
    return {insideOut[3], insideOut[2], insideOut[1], insideOut[0]};
}

// Colours as floating channels, so that runs and corner blends average before rounding.
struct Colour {
    double R, G, B;
};

Colour Split(std::uint32_t rgb) {
    return {double((rgb >> 16) & 0xFF), double((rgb >> 8) & 0xFF), double(rgb & 0xFF)};
}

Colour Mix(Colour a, Colour b, double t) {
    return {a.R + (b.R - a.R) * t, a.G + (b.G - a.G) * t, a.B + (b.B - a.B) * t};
}

std::uint32_t ToRgb(Colour c) {
    return (std::uint32_t(std::lround(c.R)) << 16) | (std::uint32_t(std::lround(c.G)) << 8) |
           std::uint32_t(std::lround(c.B));
}

// A run's colour at row y of the side, rows Ring .. PictureHeight - Ring - 1 spanning the run.
Colour RunAt(const Run& run, int y) {
    const double t = double(y - Ring) / double(PictureHeight - 2 * Ring - 1);
    return Mix(Split(run.Top), Split(run.Bottom), t);
}

// The colours meeting in one corner block, each listed from the outside in.
struct CornerColours {
    std::array<Colour, Ring> Horizontal;  // of the top or bottom side
    std::array<Colour, Ring> Vertical;    // of the left or right side, at this end of its runs
    Colour SurroundHorizontal;
    Colour SurroundVertical;
};

// The colour of the corner pixel that lies u pixels in from the vertical outer side and v in
// from the horizontal one. The rings bend round a quarter circle centred on the block's inner
// corner; each pixel averages 4 x 4 samples, so the outline is blended into the colours on
// either side of it and the corner looks round. Samples beyond the circle take the surrounding
// colour; along the bend the side colours mix by angle.
Colour CornerPixel(const CornerColours& c, int u, int v) {
    constexpr int Samples = 4;
    Colour sum{0, 0, 0};
    for (int i = 0; i < Samples; ++i) {
        for (int j = 0; j < Samples; ++j) {
            const double dx = Ring - (u + (i + 0.5) / Samples);
            const double dy = Ring - (v + (j + 0.5) / Samples);
            const double depth = Ring - std::hypot(dx, dy);
            const double towardsVertical = std::atan2(dx, dy) / (std::numbers::pi / 2);
            Colour s;
            if (depth < 0) {
                s = Mix(c.SurroundHorizontal, c.SurroundVertical, towardsVertical);
            } else {
                const int ring = std::min(Ring - 1, int(depth));
                s = Mix(c.Horizontal[ring], c.Vertical[ring], towardsVertical);
            }
            sum = {sum.R + s.R, sum.G + s.G, sum.B + s.B};
        }
    }
    constexpr double n = Samples * Samples;
    return {sum.R / n, sum.G / n, sum.B / n};
}

PicturePixels Draw(const Rings& rings, const Rings& around) {
    PicturePixels image;
    const auto setPixel = [&image](int x, int y, std::uint32_t rgb) {
        image[std::size_t(y * PictureWidth + x)] = rgb;
    };
    const int right = PictureWidth - 1;
    const int bottom = PictureHeight - 1;
    const auto bottomRings = Outward(rings.Bottom);
    const auto rightRings = Outward(rings.Right);

    // The face, never shown, and the four edges.
    image.fill(rings.Top[Ring - 1]);
    for (int k = 0; k < Ring; ++k) {
        for (int x = Ring; x <= right - Ring; ++x) {
            setPixel(x, k, rings.Top[k]);
            setPixel(x, bottom - k, bottomRings[k]);
        }
        for (int y = Ring; y <= bottom - Ring; ++y) {
            setPixel(k, y, ToRgb(RunAt(rings.Left[k], y)));
            setPixel(right - k, y, ToRgb(RunAt(rightRings[k], y)));
        }
    }

    // The corners: which sides meet there and where the block lies.
    auto split = [](const std::array<std::uint32_t, Ring>& side) {
        std::array<Colour, Ring> out{};
        for (int k = 0; k < Ring; ++k) {
            out[k] = Split(side[k]);
        }
        return out;
    };
    auto ends = [](const std::array<Run, Ring>& side, bool top) {
        std::array<Colour, Ring> out{};
        for (int k = 0; k < Ring; ++k) {
            out[k] = Split(top ? side[k].Top : side[k].Bottom);
        }
        return out;
    };
    const auto aroundBottom = Outward(around.Bottom);
    const auto aroundRight = Outward(around.Right);
    struct Block {
        bool Top, Left;
    };
    for (const Block b :
         {Block{true, true}, Block{true, false}, Block{false, true}, Block{false, false}}) {
        CornerColours c{
            split(b.Top ? rings.Top : bottomRings),
            ends(b.Left ? rings.Left : rightRings, b.Top),
            Split(b.Top ? around.Top[0] : aroundBottom[0]),
            b.Left ? Split(b.Top ? around.Left[0].Top : around.Left[0].Bottom)
                   : Split(b.Top ? aroundRight[0].Top : aroundRight[0].Bottom),
        };
        for (int u = 0; u < Ring; ++u) {
            for (int v = 0; v < Ring; ++v) {
                const int x = b.Left ? u : right - u;
                const int y = b.Top ? v : bottom - v;
                setPixel(x, y, ToRgb(CornerPixel(c, u, v)));
            }
        }
    }
    return image;
}

}  // namespace

const PicturePixels& CommandPicturePixels(Picture picture) {
    static const std::array<PicturePixels, 6> pictures = [] {
        const Rings& idle = RingTable[static_cast<int>(Picture::Normal)];
        std::array<PicturePixels, 6> drawn;
        for (std::size_t i = 0; i < drawn.size(); ++i) {
            const Rings& rings = RingTable[i];
            drawn[i] = Draw(rings, rings.OutlineOnEdge ? idle : rings);
        }
        return drawn;
    }();
    return pictures[static_cast<std::size_t>(picture)];
}

}  // namespace quarnel
