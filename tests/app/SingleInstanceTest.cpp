#include "app/SingleInstance.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace quarnel {
namespace {

// A second start finds the lock held and asks the holder, through the socket beside it, to
// show its window; a socket left by a run that died does not stop the next holder.
TEST(SingleInstance, ASecondStartAsksTheRunningOneToShowItself) {
    QTemporaryDir runtime;  // private, as a runtime folder must be
    ASSERT_TRUE(runtime.isValid());
    const QByteArray saved = qgetenv("XDG_RUNTIME_DIR");
    qputenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit());
    // What a run that died left behind.
    ASSERT_TRUE(QFile(runtime.filePath("quarnel-" + QString::number(::getuid()) + ".socket"))
                    .open(QIODevice::WriteOnly));
    SingleInstance first;
    ASSERT_TRUE(first.Claim());
    int asked = 0;
    first.Listen([&] { ++asked; });
    SingleInstance second;
    EXPECT_FALSE(second.Claim());
    EXPECT_TRUE(second.AskToShow());
    ASSERT_TRUE(QTest::qWaitFor([&] { return asked == 1; }, 5000));
    qputenv("XDG_RUNTIME_DIR", saved);
}

}  // namespace
}  // namespace quarnel
