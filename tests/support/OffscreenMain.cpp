// The main of the tests that need widgets: Qt on its offscreen platform, no display needed.
#include <gtest/gtest.h>

#include <QApplication>

int main(int argc, char** argv) {
    // Before the application exists: test listing runs without the test's environment.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    QApplication::setApplicationName("Quarnel");
    return RUN_ALL_TESTS();
}
