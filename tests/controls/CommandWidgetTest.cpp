#include <gtest/gtest.h>
#include <QLineEdit>
#include <QSignalSpy>
#include <QStringList>
#include <QTest>

#include "controls/Command.h"

namespace quarnel {
namespace {

uint At(const QImage& image, int x, int y) {
    return image.pixel(x, y) & 0xFFFFFFu;
}

// A 105 x 28 button in a shown, active window that hands its focus to a text field. The hover
// timer runs and the widget under the pointer is whatever Under says.
class CommandWidget : public testing::Test {
protected:
    CommandWidget() {
        Window.show();
        EXPECT_TRUE(QTest::qWaitForWindowActive(&Window));
        Button.SetPointerProbe([this] { return Under; });
        Button.Initialize();
    }

    QWidget Window;
    QLineEdit Field{&Window};
    Command Button{&Window};
    QWidget* Under = nullptr;
};

TEST_F(CommandWidget, DrawsEachStateAndClicksOnEveryReleaseAndTheAccessKeyUnlessDisabled) {
    QSignalSpy clicks(&Button, &Command::Click);
    Button.SetCaption("&Add");
    const QImage idle = Button.grab().toImage();
    for (auto [x, y] : {std::pair{52, 1}, {52, 26}, {1, 14}, {103, 14}})
        EXPECT_EQ(At(idle, x, y), 0x003C74u) << x << "," << y;
    // White at the top, lavender (less red, the channel that differs most) at the bottom.
    EXPECT_GT(qRed(idle.pixel(8, 5)), qRed(idle.pixel(8, 22)));
    Under = &Button;
    QTest::mouseMove(&Button, QPoint(40, 14));  // two moves: Qt drops one to where it already is
    QTest::mouseMove(&Button);
    const QImage hovered = Button.grab().toImage();
    EXPECT_LT(qRed(hovered.pixel(8, 5)), qRed(hovered.pixel(8, 22)));
    EXPECT_EQ(At(hovered, 52, 25), 0xE59700u);

    // A click focuses the button; the tick then ends the hover and leaves the focus lines: the
    // rectangle from (4, 4) to (100, 23), inverted at every other pixel along each line.
    QTest::mouseClick(&Button, Qt::LeftButton);
    QTest::mouseClick(&Button, Qt::RightButton);
    Under = &Window;
    EXPECT_TRUE(QTest::qWaitFor([&] { return Button.CurrentState() == StateSelected; }, 2000));
    const QImage focused = Button.grab().toImage();
    for (int y = 4; y <= 23; ++y)
        for (int x = 4; x <= 100; x += (y == 4 || y == 23) ? 1 : 96)
            EXPECT_EQ(At(focused, x, y) ^ At(idle, x, y),
                      (y == 4 || y == 23 ? x : y) % 2 ? 0u : 0xFFFFFFu)
                << x << "," << y;
    Field.setFocus();
    EXPECT_EQ(Button.grab().toImage(), idle);
    QTest::keyClick(&Window, Qt::Key_A, Qt::AltModifier);
    EXPECT_EQ(clicks.count(), 3);
    EXPECT_TRUE(Button.hasFocus());

    Button.setEnabled(false);  // Qt's own setter is taken as a write of Enabled
    QTest::keyClick(&Window, Qt::Key_A, Qt::AltModifier);
    EXPECT_EQ(clicks.count(), 3);
    EXPECT_EQ(Button.CurrentState(), StateDisabled);
    // Shown again, the window initialises it to idle; under the pointer or not, the next tick
    // finds it disabled.
    Button.Initialize();
    Under = &Button;
    EXPECT_TRUE(QTest::qWaitFor([&] { return Button.CurrentState() == StateDisabled; }, 2000));
}

TEST_F(CommandWidget, StoredPropertiesAndTheOddsOfEnabledVisibleAndFontColour) {
    Window.setFont(Button.font());  // the window's font is no font of the button's own
    PropertyStore store{{"CAPTION", "stale"}};
    Button.WriteProperties(store);
    EXPECT_EQ(store.Keys(), QStringList()) << "the caption \"Command\" is a default too";

    // Loaded disabled, it draws the disabled frame and a grey caption; the pure red caption
    // colour (0x00BBGGRR) gives way to the black of the paint, which is not saved.
    Button.ReadProperties(PropertyStore{{"caption", "&Add"},
                                        {"font", QVariant::fromValue(QFont("Liberation Serif"))},
                                        {"FontColour", 0x0000FF},
                                        {"Enabled", false}});
    const QImage disabled = Button.grab().toImage();
    EXPECT_EQ(At(disabled, 52, 1), 0xC9C7BAu);
    uint darkest = 0xFFFFFF;  // of the caption
    for (int i = 0; i < 95 * 18; ++i)
        darkest = std::min(darkest, At(disabled, 5 + i % 95, 5 + i / 95),
                           [](uint a, uint b) { return qGray(a) < qGray(b); });
    EXPECT_EQ(darkest, 0xC0C0C0u);
    Button.SetEnabled(true);
    EXPECT_EQ(At(Button.grab().toImage(), 52, 1), 0x003C74u);
    Button.WriteProperties(store);
    EXPECT_EQ(store.Keys(), (QStringList{"caption", "font"}));
    Button.SetVisible(7);
    EXPECT_EQ(Button.Visible(), 255);

    // Read before any load, Enabled turns a disabled button on, without a repaint.
    Command fresh;
    fresh.SetEnabled(false);
    EXPECT_TRUE(fresh.Enabled() && fresh.isEnabled());
    EXPECT_EQ(fresh.CurrentState(), StateDisabled);
}

}  // namespace
}  // namespace quarnel
