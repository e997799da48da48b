#include <gtest/gtest.h>

#include "controls/AccessKey.h"
#include "controls/CommandGeometry.h"

namespace quarnel {
namespace {

TEST(CommandRules, AccessKeyFollowsTheFirstAmpersandOfAnEnabledCaption) {
    const QChar none, a('A');
    EXPECT_EQ(NextAccessKey("&Add", true, none), a);
    EXPECT_EQ(NextAccessKey("Add", true, a), a);  // no marker: the key stays
    EXPECT_EQ(NextAccessKey("Add&", true, a), none);
    EXPECT_EQ(NextAccessKey("&&Both", true, none), QChar('&'));
    EXPECT_EQ(NextAccessKey("Re&load &All", true, none), QChar('l'));
    EXPECT_EQ(NextAccessKey("&Add", false, a), none);  // a disabled button answers none
}

TEST(CommandRules, CaptionTopRoundsHalvesToEven) {
    EXPECT_EQ(CaptionTop(28, 16), 6);
    EXPECT_EQ(CaptionTop(28, 15), 6);   // 6.5
    EXPECT_EQ(CaptionTop(28, 13), 8);   // 7.5
    EXPECT_EQ(CaptionTop(28, 29), 0);   // -0.5
    EXPECT_EQ(CaptionTop(28, 31), -2);  // -1.5
}

}  // namespace
}  // namespace quarnel
