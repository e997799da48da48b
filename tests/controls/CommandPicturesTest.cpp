#include "controls/CommandPictures.h"

#include <gtest/gtest.h>
#include <QStringList>

namespace quarnel {
namespace {

TEST(CommandPictures, CarryTheRingColoursAcrossEachEdge) {
    // Top rows 0-3 outside in, bottom rows 21-24 inside out, left columns 0-3 outside in, right
    // columns 60-63 inside out; "A>B" runs from A at the top of its side to B at the bottom.
    const char* table[6][4] = {
        {"DCD6C2 003C74 F3F3EE F3F3EE", "E2DFD6 D6D0C5 003C74 FAFAF6",
         "E1DDCA>E2DECB 003C74 FDFDFC>ECEBE6 FDFDFC>EBEBE5",
         "FBFBFA>E4E2DA F6F4F2>E0DDD4 003C74 EFEDDF>F1EEE2"},
        {"DCD6C2 003C74 FFF0CF FDD889", "F8B330 E59700 003C74 FAFAF6",
         "E1DDCA>E2DECB 003C74 FEDF9A>F9B435 FCD279>F8B535",
         "FCD279>F8B535 FDE09B>F8B435 003C74 EFEDDF>F1EEE2"},
        {"DCD6C2 003C74 D1CCC1 DCD8CF", "EAE9E3 F2F1EE 003C74 FAFAF6",
         "E1DDCA>E2DECB 003C74 D8D4CB>DAD8CF DDDAD1>DFDED6",
         "E4E3DC>E6E5DF E5E4DD>E6E5DF 003C74 EFEDDF>F1EEE2"},
        {"003C74 CEE7FF CEE7FF F3F3EE", "ECEBE6 6982EE 6982EE 003C74",
         "003C74 B7D0F4>8BADE4 B8D1F4>8BADE4 F3F3EE", "F3F3EE B8D0F5>8BAFE5 B8D0F5>8BAFE5 003C74"},
        {"003C74 FFF0CF FFF0CF F3F3EE", "F3F3EE E59700 E59700 003C74",
         "003C74 FEDD95>F9B83B FCD279>F9B73B F3F3EE", "F3F3EE FEDD95>F9B73A FEDD95>F9B73A 003C74"},
        {"ECE9D8 C9C7BA F5F4EA F5F4EA", "F5F4EA F5F4EA C9C7BA ECE9D8",
         "ECE9D8 C9C7BA F5F4EA F5F4EA", "F5F4EA F5F4EA C9C7BA ECE9D8"},
    };
    // Where each side's colours lie: top and bottom at the middle column, the sides at the
    // first and last row of their edge.
    for (int p = 0; p < 6; ++p) {
        const QImage& image = CommandPicture(Picture(p));
        ASSERT_EQ(image.size(), QSize(64, 25));
        auto at = [&](int x, int y) { return image.pixel(x, y) & 0xFFFFFFu; };
        for (int side = 0; side < 4; ++side) {
            const QStringList rings = QString(table[p][side]).split(' ');
            for (int k = 0; k < 4; ++k) {
                const QStringList ends = rings[k].split('>');
                const uint top = ends.front().toUInt(nullptr, 16);
                const uint bottom = ends.back().toUInt(nullptr, 16);
                SCOPED_TRACE(testing::Message()
                             << "picture " << p << " side " << side << " ring " << k);
                if (side < 2) {
                    EXPECT_EQ(at(32, side == 0 ? k : 21 + k), top);
                } else {
                    const int x = side == 2 ? k : 60 + k;
                    EXPECT_EQ(at(x, 4), top);
                    EXPECT_EQ(at(x, 20), bottom);
                }
            }
        }
    }
    // The outline's square corner is blended away into the colours around it.
    EXPECT_NE(CommandPicture(Picture::Normal).pixel(1, 1) & 0xFFFFFFu, 0x003C74u);
    EXPECT_NE(CommandPicture(Picture::Selected).pixel(63, 24) & 0xFFFFFFu, 0x003C74u);
}

}  // namespace
}  // namespace quarnel
