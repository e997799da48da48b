#include <gtest/gtest.h>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTest>

#include "controls/qt/Command.h"

namespace quarnel {
namespace {

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

TEST_F(CommandWidget, RepaintsWithItsStateAndClicksOnEveryReleaseAndTheAccessKeyUnlessDisabled) {
    QSignalSpy clicks(&Button, &Command::Click);
    Button.SetCaption("&Add");
    const QImage idle = Button.grab().toImage();
    Under = &Button;
    QTest::mouseMove(&Button, QPoint(40, 14));  // two moves: Qt drops one to where it already is
    QTest::mouseMove(&Button);
    EXPECT_NE(Button.grab().toImage(), idle);

    // A click focuses the button; the tick then ends the hover and leaves the focus lines.
    QTest::mouseClick(&Button, Qt::LeftButton);
    QTest::mouseClick(&Button, Qt::RightButton);
    Under = &Window;
    ASSERT_TRUE(QTest::qWaitFor([&] { return Button.CurrentState() == StateSelected; }, 2000));
    EXPECT_NE(Button.grab().toImage(), idle);
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
    ASSERT_TRUE(QTest::qWaitFor([&] { return Button.CurrentState() == StateDisabled; }, 2000));
}

}  // namespace
}  // namespace quarnel
