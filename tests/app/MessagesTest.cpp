// The box that holds nothing: the loop runs on while it is open, and a message told meanwhile
// joins it instead of being lost.

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTimer>

#include <vector>

#include "app/Messages.h"

namespace quarnel {
namespace {

std::vector<QMessageBox*> OpenBoxes() {
    std::vector<QMessageBox*> boxes;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* box = qobject_cast<QMessageBox*>(widget); box && box->isVisible()) {
            boxes.push_back(box);
        }
    }
    return boxes;
}

TEST(MessageBoxes, NoticesHoldNothingAndShareTheOpenBox) {
    // A box that held the loop would run its own: this answers it, and the test fails.
    bool held = false;
    QTimer answer;
    answer.setSingleShot(true);
    QObject::connect(&answer, &QTimer::timeout, [&held] {
        held = true;
        if (QWidget* box = QApplication::activeModalWidget()) {
            box->close();
        }
    });
    answer.start(2000);

    MessageBoxes messages;
    messages.Notify("The helper stopped.");
    messages.Notify("The helper was restarted.");
    EXPECT_FALSE(held);
    std::vector<QMessageBox*> boxes = OpenBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0]->text(), "The helper stopped.\n\nThe helper was restarted.");

    // Once answered, the next notice opens a box of its own.
    boxes[0]->button(QMessageBox::Ok)->click();
    EXPECT_TRUE(OpenBoxes().empty());
    messages.Notify("It stopped again.");
    boxes = OpenBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0]->text(), "It stopped again.");
    boxes[0]->button(QMessageBox::Ok)->click();

    // With nobody to answer, notices go to standard error, every one of them.
    messages.SetUnattended();
    testing::internal::CaptureStderr();
    messages.Notify("first");
    messages.Notify("second");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "quarnel: first\nquarnel: second\n");
    EXPECT_TRUE(OpenBoxes().empty());
}

}  // namespace
}  // namespace quarnel
