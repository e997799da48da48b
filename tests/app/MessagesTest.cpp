// The box that holds nothing: the loop runs on while it is open, and a message told meanwhile
// joins it instead of being lost. Told where nobody can answer, messages go to the program's
// standard error, which the program tests read.

#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QMessageBox>
#include <QTimer>

#include "app/Messages.h"
#include "platform/linux/client/DescriptorOutput.h"

namespace quarnel {
namespace {

// The texts of the message boxes open, each ending in "|"; answered with OK when answer.
QString OpenBoxes(bool answer = false) {
    QString texts;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* box = qobject_cast<QMessageBox*>(widget); box && box->isVisible()) {
            texts += box->text() + "|";
            if (answer) {
                box->accept();
            }
        }
    }
    return texts;
}

TEST(MessageBoxes, NoticesHoldNothingAndShareTheOpenBox) {
    // A box that held the loop would run its own: this answers it, and the test fails.
    bool held = false;
    const QObject during;  // the answer is due during this test only
    QTimer::singleShot(2000, &during, [&held] {
        held = true;
        if (QWidget* box = QApplication::activeModalWidget()) {
            box->close();
        }
    });

    platform::DescriptorOutput standardError(STDERR_FILENO);
    ActionLog log(standardError);
    MessageBoxes messages(log);
    messages.Notify("The helper stopped.");
    messages.Notify("The helper was restarted.");
    EXPECT_FALSE(held);
    EXPECT_EQ(OpenBoxes(true), "The helper stopped.\n\nThe helper was restarted.|");

    // Once answered, the next notice opens a box of its own.
    EXPECT_EQ(OpenBoxes(), "");
    messages.Notify("It stopped again.");
    EXPECT_EQ(OpenBoxes(true), "It stopped again.|");
}

}  // namespace
}  // namespace quarnel
