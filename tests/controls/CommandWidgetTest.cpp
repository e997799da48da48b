#include <gtest/gtest.h>
#include <QApplication>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTest>

#include "controls/Command.h"

namespace quarnel {
namespace {

constexpr uint Outline = 0x003C74;
const QPoint Inside(50, 14);

uint At(const QImage& image, int x, int y) {
    return image.pixel(x, y) & 0xFFFFFFu;
}
uint At(Command& button, int x, int y) {
    return At(button.grab().toImage(), x, y);
}

// The darkest caption pixel of a 105 x 28 button.
uint Darkest(const QImage& image) {
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
    bool TickInto(ButtonState state) {
        return QTest::qWaitFor([&] { return Button.CurrentState() == state; }, 2000);
    }

    QWidget Window;
    QLineEdit Field{&Window};
    Command Button{&Window};
    QWidget* Under = nullptr;
    QSignalSpy Clicks{&Button, &Command::Click};
};

TEST_F(CommandWidget, FramesAWhiteTopFaceAndReversesItUnderTheGlowOfHover) {
    const QImage idle = Button.grab().toImage();
    for (auto [x, y] : {std::pair{52, 1}, {52, 26}, {1, 14}, {103, 14}}) {
        EXPECT_EQ(At(idle, x, y), Outline) << x << "," << y;
    }
    EXPECT_EQ(At(idle, 52, 0), 0xDCD6C2u);
    EXPECT_TRUE(WhiteOnTop(idle));

    Hover();
    ASSERT_EQ(Button.CurrentState(), StateHighLight);
    EXPECT_FALSE(WhiteOnTop(Button.grab().toImage()));
    EXPECT_EQ(At(Button, 52, 25), 0xE59700u);
    Under = &Window;
    EXPECT_TRUE(TickInto(StateNormal));
    EXPECT_EQ(Button.grab().toImage(), idle);
}

TEST_F(CommandWidget, FocusLinesInvertTheFaceOnlyWithTheFocus) {
    const QImage idle = Button.grab().toImage();
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

TEST_F(CommandWidget, ClicksOnEveryReleaseAndEndsHoverOnTheTick) {
    Hover();
    QTest::mousePress(&Button, Qt::LeftButton, {}, Inside);
    EXPECT_EQ(Button.CurrentState(), StateHighLightSelect);  // Qt focuses before the press
    QTest::mouseRelease(&Button, Qt::LeftButton, {}, Inside);
    QTest::mouseClick(&Button, Qt::RightButton, {}, Inside);
    EXPECT_EQ(Clicks.count(), 2);
    Under = &Window;
    EXPECT_TRUE(TickInto(StateSelected));
}

TEST_F(CommandWidget, AccessKeyClicksOnceAndADisabledButtonAnswersNothing) {
    Button.SetCaption("&Add");
    QTest::keyClick(&Window, Qt::Key_A, Qt::AltModifier);
    EXPECT_EQ(Clicks.count(), 1);
    EXPECT_EQ(Button.CurrentState(), StateHighLightSelect);
    EXPECT_TRUE(Button.hasFocus());

    Button.setEnabled(false);  // Qt's own setter is taken as a write of Enabled
    Hover();
    QTest::mouseClick(&Button, Qt::LeftButton, {}, Inside);
    QTest::keyClick(&Window, Qt::Key_A, Qt::AltModifier);
    EXPECT_EQ(Clicks.count(), 1);
    EXPECT_EQ(Button.CurrentState(), StateDisabled);
    EXPECT_EQ(At(Button, 52, 1), 0xC9C7BAu);
    EXPECT_EQ(Darkest(Button.grab().toImage()), 0xC0C0C0u);
}

TEST(CommandProperties, StoredPropertiesAndTheOddsOfEnabledVisibleAndFontColour) {
    QWidget window;
    window.show();
    Command button(&window);
    window.setFont(button.font());  // the window's font is no font of the button's own
    PropertyStore store{{"CAPTION", "stale"}};
    button.WriteProperties(store);
    EXPECT_EQ(store.Keys(), QStringList()) << "the caption \"Command\" is a default too";

    QFont font("Liberation Serif");
    font.setPointSizeF(9.75);
    button.ReadProperties(PropertyStore{{"caption", "&Add"},
                                        {"font", QVariant::fromValue(font)},
                                        {"FontColour", 0x0000FF},
                                        {"Enabled", false}});
    EXPECT_EQ(button.Caption(), "&Add");
    EXPECT_EQ(button.font(), font);
    EXPECT_FALSE(button.Enabled());
    EXPECT_EQ(button.CurrentState(), StateDisabled);
    EXPECT_EQ(At(button, 52, 1), 0xC9C7BAu);
    button.SetEnabled(true);
    EXPECT_EQ(button.CurrentState(), StateNormal);
    EXPECT_EQ(At(button, 52, 1), Outline);
    // The pure red (0x00BBGGRR) it was loaded with gives way to the black of the paint.
    EXPECT_EQ(Darkest(button.grab().toImage()), 0u);
    button.WriteProperties(store);
    EXPECT_EQ(store.Keys(), (QStringList{"caption", "font"}));

    button.SetVisible(7);
    EXPECT_EQ(button.Visible(), 255);
    button.SetVisible(0);
    EXPECT_EQ(button.Visible(), 0);
    EXPECT_FALSE(button.isVisible());

    // Read before any load, Enabled turns a disabled button on, without a repaint.
    Command fresh;
    fresh.SetEnabled(false);
    EXPECT_TRUE(fresh.Enabled());
    EXPECT_TRUE(fresh.isEnabled());
    EXPECT_EQ(fresh.CurrentState(), StateDisabled);
}

}  // namespace
}  // namespace quarnel
