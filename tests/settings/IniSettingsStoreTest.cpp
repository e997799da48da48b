// The file's format, a hand-edited list and the location are checked through the program
// itself; here, a failed write must not make every later one look failed too.

#include "settings/IniSettingsStore.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

namespace quarnel {
namespace {

TEST(IniStore, EachFlushTellsWhetherThatWriteWorked) {
    const QString folder = qEnvironmentVariable("XDG_CONFIG_HOME") + "/Quarnel";
    // A plain file where the Quarnel folder belongs stops root as well as any user.
    auto block = [&] { return QFile(folder).open(QIODevice::WriteOnly); };
    IniSettingsStore store;
    for (const bool blocked : {true, false, true, false}) {
        ASSERT_TRUE(blocked ? QDir(folder).removeRecursively() && block() : QFile::remove(folder));
        store.Write("BlockedLocalPortsString", "445,139");
        EXPECT_EQ(store.Flush(), !blocked);
    }
    EXPECT_EQ(IniSettingsStore().Read("BlockedLocalPortsString", ""), "445,139");
}

}  // namespace
}  // namespace quarnel

int main(int argc, char** argv) {
    // Never the user's real settings: a private config folder for the whole run.
    QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
    ::testing::InitGoogleTest(&argc, argv);
    return config.isValid() ? RUN_ALL_TESTS() : 1;
}
