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
    for (int i = 0; i < 95 * 18; ++i) {
        const uint colour = At(image, 5 + i % 95, 5 + i / 95);
        darkest = qGray(colour) < qGray(darkest) ? colour : darkest;
    }
    return darkest;
}

// Whether the face runs from white at the top to lavender (less red, as red is the channel
// that differs most) at the bottom.
bool WhiteOnTop(const QImage& image) {
    return qRed(image.pixel(8, 5)) > qRed(image.pixel(8, 22));
}

TEST(CommandPictures, CarryTheRingColoursAcrossEachEdge) {
    // The rings of the top edge (rows 0-3) and the left one (columns 0-3), outside in; "A>B"
    // runs from A at the top of the left edge to B at its bottom. The bottom and right edges,
    // inside out, show on the rendered button.
    const char* table[6][2] = {
        {"DCD6C2 003C74 F3F3EE F3F3EE", "E1DDCA>E2DECB 003C74 FDFDFC>ECEBE6 FDFDFC>EBEBE5"},
        {"DCD6C2 003C74 FFF0CF FDD889", "E1DDCA>E2DECB 003C74 FEDF9A>F9B435 FCD279>F8B535"},
        {"DCD6C2 003C74 D1CCC1 DCD8CF", "E1DDCA>E2DECB 003C74 D8D4CB>DAD8CF DDDAD1>DFDED6"},
        {"003C74 CEE7FF CEE7FF F3F3EE", "003C74 B7D0F4>8BADE4 B8D1F4>8BADE4 F3F3EE"},
        {"003C74 FFF0CF FFF0CF F3F3EE", "003C74 FEDD95>F9B83B FCD279>F9B73B F3F3EE"},
        {"ECE9D8 C9C7BA F5F4EA F5F4EA", "ECE9D8 C9C7BA F5F4EA F5F4EA"},
    };
    for (int p = 0; p < 6; ++p) {
        const QImage& image = CommandPicture(Picture(p));
        ASSERT_EQ(image.size(), QSize(64, 25));
        for (int k = 0; k < 4; ++k) {
            EXPECT_EQ(At(image, 32, k), QString(table[p][0]).split(' ')[k].toUInt(nullptr, 16))
                << p << k;
            const QStringList ends = QString(table[p][1]).split(' ')[k].split('>');
            EXPECT_EQ(At(image, k, 4), ends.front().toUInt(nullptr, 16)) << p << k;
            EXPECT_EQ(At(image, k, 20), ends.back().toUInt(nullptr, 16)) << p << k;
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
