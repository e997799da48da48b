#include <gtest/gtest.h>
#include <QApplication>
#include <QLineEdit>
#include <QSignalSpy>
#include <QStringList>
#include <QTest>

#include "controls/Command.h"
#include "controls/CommandPictures.h"

namespace quarnel {
namespace {

constexpr uint Outline = 0x003C74;
const QPoint Inside(50, 14);

uint At(const QImage& image, int x, int y) {
    return image.pixel(x, y) & 0xFFFFFFu;
}

// The darkest caption pixel of a 105 x 28 button.
uint Darkest(Command& button) {
    const QImage image = button.grab().toImage();
    uint darkest = 0xFFFFFF;
    for (int y = 5; y < 23; ++y) {
        for (int x = 5; x < 100; ++x) {
            darkest = qGray(image.pixel(x, y)) < qGray(darkest) ? At(image, x, y) : darkest;
        }
    }
    return darkest;
}

// Whether the face runs from white at the top to lavender (less red, as red is the channel
// that differs most) at the bottom.
bool WhiteOnTop(const QImage& image) {
    return qRed(image.pixel(8, 5)) > qRed(image.pixel(8, 22));
}

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
    for (int p = 0; p < 6; ++p) {
        const QImage& image = CommandPicture(Picture(p));
        ASSERT_EQ(image.size(), QSize(64, 25));
        for (int side = 0; side < 4; ++side) {
            for (int k = 0; k < 4; ++k) {
                // Top and bottom at the middle column, the sides at the first and last row of
                // their edge.
                const int x = side < 2 ? 32 : side == 2 ? k : 60 + k;
                const int top = side == 0   ? k
                                : side == 1 ? 21 + k
                                            : 4,
                          bottom = side < 2 ? top : 20;
                const QStringList ends = QString(table[p][side]).split(' ')[k].split('>');
                EXPECT_EQ(At(image, x, top), ends.front().toUInt(nullptr, 16)) << p << side << k;
                EXPECT_EQ(At(image, x, bottom), ends.back().toUInt(nullptr, 16)) << p << side << k;
            }
        }
    }
    // The outline's square corner is blended away into the colours around it.
    EXPECT_NE(At(CommandPicture(Picture::Normal), 1, 1), Outline);
    EXPECT_NE(At(CommandPicture(Picture::Selected), 63, 24), Outline);
}

// A 105 x 28 button in a shown, active window that hands its focus to a text field. The hover
// timer runs and the widget under the pointer is whatever Under says.
class CommandWidget : public testing::Test {
protected:
    CommandWidget() {
        Field.move(120, 10);
        Button.move(10, 10);
        Window.show();
        QApplication::setActiveWindow(&Window);
        EXPECT_TRUE(QTest::qWaitForWindowActive(&Window));
        Field.setFocus();
        Button.SetPointerProbe([this] { return Under; });
        Button.Initialize();
    }

    // Two moves: Qt drops a move to where the pointer already was.
    void Hover() {
        Under = &Button;
        QTest::mouseMove(&Button, Inside - QPoint(10, 0));
        QTest::mouseMove(&Button, Inside);
    }

    QWidget Window;
    QLineEdit Field{&Window};
    Command Button{&Window};
    QWidget* Under = nullptr;
    QSignalSpy Clicks{&Button, &Command::Click};
};

TEST_F(CommandWidget, FramesAWhiteTopFaceReversedUnderHoverAndInvertedAlongTheFocusLines) {
    const QImage idle = Button.grab().toImage();
    for (auto [x, y] : {std::pair{52, 1}, {52, 26}, {1, 14}, {103, 14}}) {
        EXPECT_EQ(At(idle, x, y), Outline) << x << "," << y;
    }
    EXPECT_TRUE(WhiteOnTop(idle));
    Hover();
    ASSERT_EQ(Button.CurrentState(), StateHighLight);
    EXPECT_FALSE(WhiteOnTop(Button.grab().toImage()));
    EXPECT_EQ(At(Button.grab().toImage(), 52, 25), 0xE59700u);
    Under = &Window;  // the tick ends the hover
    EXPECT_TRUE(QTest::qWaitFor([&] { return Button.CurrentState() == StateNormal; }, 2000));
    EXPECT_EQ(Button.grab().toImage(), idle);

    Button.setFocus();
    ASSERT_EQ(Button.CurrentState(), StateSelected);
    const QImage focused = Button.grab().toImage();
    // The rectangle from (4, 4) to (100, 23), dotted every other pixel along each line.
    for (int y = 4; y <= 23; ++y) {
        for (int x = 4; x <= 100; x += (y == 4 || y == 23) ? 1 : 96) {
            const bool dot = (y == 4 || y == 23 ? x : y) % 2 == 0;
            EXPECT_GT(qGray(idle.pixel(x, y)), 0xA0) << x << "," << y;
            EXPECT_EQ(At(focused, x, y), At(idle, x, y) ^ (dot ? 0xFFFFFFu : 0)) << x << "," << y;
        }
    }
    Field.setFocus();
    EXPECT_EQ(Button.CurrentState(), StateNormal);
    EXPECT_EQ(Button.grab().toImage(), idle);
}

TEST_F(CommandWidget, ClicksOnEveryReleaseAndTheAccessKeyButNotWhenDisabled) {
    Button.SetCaption("&Add");
    Hover();
    QTest::mousePress(&Button, Qt::LeftButton, {}, Inside);
    EXPECT_EQ(Button.CurrentState(), StateHighLightSelect);  // Qt focuses before the press
    QTest::mouseRelease(&Button, Qt::LeftButton, {}, Inside);
    QTest::mouseClick(&Button, Qt::RightButton, {}, Inside);
    Field.setFocus();
    QTest::keyClick(&Window, Qt::Key_A, Qt::AltModifier);
    EXPECT_EQ(Clicks.count(), 3);
    EXPECT_TRUE(Button.hasFocus());

    Button.setEnabled(false);  // Qt's own setter is taken as a write of Enabled
    QTest::mouseClick(&Button, Qt::LeftButton, {}, Inside);
    QTest::keyClick(&Window, Qt::Key_A, Qt::AltModifier);
    EXPECT_EQ(Clicks.count(), 3);
    EXPECT_EQ(Button.CurrentState(), StateDisabled);
    EXPECT_EQ(Darkest(Button), 0xC0C0C0u);
}

TEST_F(CommandWidget, StoredPropertiesAndTheOddsOfEnabledVisibleAndFontColour) {
    Window.setFont(Button.font());  // the window's font is no font of the button's own
    PropertyStore store{{"CAPTION", "stale"}};
    Button.WriteProperties(store);
    EXPECT_EQ(store.Keys(), QStringList()) << "the caption \"Command\" is a default too";

    QFont font("Liberation Serif");
    font.setPointSizeF(9.75);
    Button.ReadProperties(PropertyStore{{"caption", "&Add"},
                                        {"font", QVariant::fromValue(font)},
                                        {"FontColour", 0x0000FF},
                                        {"Enabled", false}});
    EXPECT_EQ(Button.CurrentState(), StateDisabled);
    EXPECT_EQ(At(Button.grab().toImage(), 52, 1), 0xC9C7BAu);
    Button.SetEnabled(true);
    EXPECT_EQ(Button.CurrentState(), StateNormal);
    EXPECT_EQ(At(Button.grab().toImage(), 52, 1), Outline);
    // The pure red (0x00BBGGRR) it was loaded with gives way to the black of the paint.
    EXPECT_EQ(Darkest(Button), 0u);
    Button.WriteProperties(store);
    EXPECT_EQ(store.Keys(), (QStringList{"caption", "font"}));
    Button.SetVisible(7);
    EXPECT_EQ(Button.Visible(), 255);

    // Read before any load, Enabled turns a disabled button on, without a repaint.
    Command fresh;
    fresh.SetEnabled(false);
    EXPECT_TRUE(fresh.Enabled());
    EXPECT_TRUE(fresh.isEnabled());
    EXPECT_EQ(fresh.CurrentState(), StateDisabled);
}

}  // namespace
}  // namespace quarnel
