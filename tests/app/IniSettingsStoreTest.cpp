#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>

#include "app/IniSettingsStore.h"
#include "engine/Settings.h"
#include "tests/engine/TestEngine.h"

namespace quarnel {
namespace {

std::string DefaultLocation;  // where the store lives before any test moves it

// Every test gets a config folder of its own.
class IniStore : public ::testing::Test {
protected:
    void SetUp() override {
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, home.path());
        ASSERT_TRUE(QDir(home.path()).mkpath("Quarnel"));
    }
    void WriteFile(const char* text) {
        QFile file(File());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(text);
    }
    std::string ReadFile() {
        QFile file(File());
        return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : "";
    }
    std::string Saved(const List& list) { return engine.oManager.SaveListToString(list); }
    QString File() const { return home.path() + "/Quarnel/Quarnel.ini"; }

    QTemporaryDir home;
    IniSettingsStore store;
    testing::FakeTable table;
    testing::FakeHosts hosts;
    Engine engine{table, hosts, store};
};

TEST_F(IniStore, ListsSurviveARoundTripThroughTheUsersFile) {
    EXPECT_EQ(DefaultLocation,
              qEnvironmentVariable("XDG_CONFIG_HOME").toStdString() + "/Quarnel/Quarnel.ini");
    EXPECT_EQ(store.Location(), File().toStdString());
    engine.oManager.LoadSettings();
    EXPECT_EQ(Saved(engine.oManager.oAllowedIP), "127.0.0.1");  // no file yet
    engine.oManager.LoadListFromString(engine.oManager.oAllowedIP, "");
    engine.oManager.LoadListFromString(engine.oManager.oBlockedLocalPorts, "445,139");
    ASSERT_TRUE(engine.oManager.SaveSettings());
    EXPECT_EQ(ReadFile(),
              "[General]\nAllowedIPString=\nBlockedLocalPortsString=\"445,139\"\n"
              "BlockedRemotePortsString=\n");

    IniSettingsStore again;
    Engine next(table, hosts, again);
    next.oManager.LoadSettings();
    EXPECT_EQ(next.oManager.SaveListToString(next.oManager.oBlockedLocalPorts), "445,139");
    EXPECT_EQ(next.oManager.oAllowedIP.GetItemCount(), 0);
}

TEST_F(IniStore, AHandEditedFileReadsAsItsCommaSeparatedText) {
    WriteFile(
        "[General]\nAllowedIPString=127.0.0.1, 10.0.0.1 ,,x\n"
        "BlockedLocalPortsString= 80 , abc, 443\nBlockedRemotePortsString=\"8080,22\"\n");
    EXPECT_EQ(store.Read(AllowedIPKey, ""), "127.0.0.1,10.0.0.1,,x");
    EXPECT_EQ(store.Read(BlockedLocalPortsKey, ""), "80,abc,443");
    engine.oManager.LoadSettings();
    EXPECT_EQ(Saved(engine.oManager.oAllowedIP), "127.0.0.1,10.0.0.1,x");
    EXPECT_EQ(Saved(engine.oManager.oBlockedLocalPorts), "80,443");
    EXPECT_EQ(Saved(engine.oManager.oBlockedRemotePorts), "8080,22");
}

// Flushes as a user who is not root, since root may write a read-only file anyway: 0 written,
// 1 refused, 2 no such user could be had.
int FlushAsUser(IniSettingsStore& store) {
    store.Write(BlockedRemotePortsKey, "22");
    if (geteuid() != 0) {
        return store.Flush() ? 0 : 1;
    }
    const pid_t child = fork();
    if (child == 0) {
        _exit(setgid(65534) == 0 && setuid(65534) == 0 ? (store.Flush() ? 0 : 1) : 2);
    }
    int status = 0;
    const bool ended = child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status);
    return ended ? WEXITSTATUS(status) : 2;
}

TEST_F(IniStore, AWriteThatCannotReachTheFileReportsFailure) {
    WriteFile("[General]\nBlockedRemotePortsString=443\n");
    const QFileDevice::Permissions anyone(0x7777), readOnly(0x4444);
    ASSERT_TRUE(QFile::setPermissions(home.path(), anyone));
    ASSERT_TRUE(QFile::setPermissions(home.path() + "/Quarnel", anyone));
    ASSERT_TRUE(QFile::setPermissions(File(), readOnly));
    EXPECT_EQ(FlushAsUser(store), 1);
    EXPECT_EQ(ReadFile(), "[General]\nBlockedRemotePortsString=443\n");

    // A file where the folder should be stops root too; a later write that works is told so.
    ASSERT_TRUE(QDir(home.path()).removeRecursively() &&
                QFile(home.path()).open(QIODevice::WriteOnly));
    store.Write(BlockedRemotePortsKey, "443");
    EXPECT_FALSE(store.Flush());
    ASSERT_TRUE(QFile::remove(home.path()));
    store.Write(BlockedRemotePortsKey, "80");
    EXPECT_TRUE(store.Flush());
}

}  // namespace
}  // namespace quarnel

int main(int argc, char** argv) {
    // Never the user's real settings: a private config folder for the whole run.
    QTemporaryDir home;
    qputenv("XDG_CONFIG_HOME", home.path().toLocal8Bit());
    quarnel::DefaultLocation = quarnel::IniSettingsStore().Location();
    ::testing::InitGoogleTest(&argc, argv);
    return home.isValid() ? RUN_ALL_TESTS() : 1;
}
