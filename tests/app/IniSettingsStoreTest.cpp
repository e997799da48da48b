#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>

#include <cstdlib>
#include <memory>

#include "app/IniSettingsStore.h"
#include "engine/Engine.h"
#include "engine/Settings.h"
#include "tests/engine/Fakes.h"

namespace quarnel {
namespace {

std::string DefaultLocation;  // where the store lived before any test moved it

// Every test gets a config folder of its own.
class IniStore : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(configHome.isValid());
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, configHome.path());
    }

    QString File() const { return configHome.path() + "/Quarnel/Quarnel.ini"; }

    void WriteFile(const QByteArray& text) {
        ASSERT_TRUE(QDir().mkpath(configHome.path() + "/Quarnel"));
        QFile file(File());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(text);
    }

    QByteArray ReadFile() const {
        QFile file(File());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    std::string Stored(const List& list) { return engine.oManager.SaveListToString(list); }

    QTemporaryDir configHome;
    IniSettingsStore store;
    testing::FakeTcpTableSource source;
    testing::FakeHostAddressSource hosts;
    Engine engine{source, hosts, store};
};

TEST_F(IniStore, LivesInTheUsersConfigFolderAndDefaultsOnlyMissingKeys) {
    EXPECT_EQ(DefaultLocation,
              std::string(std::getenv("XDG_CONFIG_HOME")) + "/Quarnel/Quarnel.ini");
    EXPECT_EQ(store.Location(), File().toStdString());
    EXPECT_EQ(store.Read(AllowedIPKey, "127.0.0.1"), "127.0.0.1");

    WriteFile("[General]\nAllowedIPString=\n");
    EXPECT_EQ(store.Read(AllowedIPKey, "127.0.0.1"), "");
}

TEST_F(IniStore, ListsSurviveARoundTripThroughTheFile) {
    engine.oManager.LoadListFromString(engine.oManager.oAllowedIP, "127.0.0.1,10.0.0.2");
    engine.oManager.LoadListFromString(engine.oManager.oBlockedLocalPorts, "445,139");
    ASSERT_TRUE(engine.oManager.SaveSettings());
    EXPECT_TRUE(ReadFile().startsWith("[General]\n"));

    IniSettingsStore again;
    Engine next(source, hosts, again);
    next.oManager.LoadSettings();
    EXPECT_EQ(next.oManager.SaveListToString(next.oManager.oAllowedIP), "127.0.0.1,10.0.0.2");
    EXPECT_EQ(next.oManager.SaveListToString(next.oManager.oBlockedLocalPorts), "445,139");
    EXPECT_EQ(next.oManager.SaveListToString(next.oManager.oBlockedRemotePorts), "");
}

TEST_F(IniStore, AHandEditedFileReadsAsItsCommaSeparatedText) {
    WriteFile(
        "[General]\n"
        "AllowedIPString=127.0.0.1, 10.0.0.1 ,,x\n"
        "BlockedLocalPortsString= 80 , abc, 443\n"
        "BlockedRemotePortsString=\"8080,22\"\n");
    EXPECT_EQ(store.Read(AllowedIPKey, ""), "127.0.0.1,10.0.0.1,,x");
    EXPECT_EQ(store.Read(BlockedLocalPortsKey, ""), "80,abc,443");
    EXPECT_EQ(store.Read(BlockedRemotePortsKey, ""), "8080,22");

    engine.oManager.LoadSettings();
    EXPECT_EQ(Stored(engine.oManager.oAllowedIP), "127.0.0.1,10.0.0.1,x");
    EXPECT_EQ(Stored(engine.oManager.oBlockedLocalPorts), "80,443");
    EXPECT_EQ(Stored(engine.oManager.oBlockedRemotePorts), "8080,22");
}

TEST_F(IniStore, AWriteThatCannotReachTheFileReportsFailure) {
    // A file where the folder should be stops every user, root included.
    QFile blocker(configHome.path() + "/Quarnel");
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    store.Write(BlockedRemotePortsKey, "443");
    EXPECT_FALSE(store.Flush());

    ASSERT_TRUE(blocker.remove());
    store.Write(BlockedRemotePortsKey, "443");
    EXPECT_TRUE(store.Flush());  // a failure before does not taint a later write
    EXPECT_EQ(store.Read(BlockedRemotePortsKey, ""), "443");
}

enum FlushOutcome { Written = 0, Refused = 1, NoUser = 2 };

// Flushes as a user who is not root: root may write a read-only file anyway.
int FlushAsUser(IniSettingsStore& store) {
    if (geteuid() != 0) {
        store.Write(BlockedRemotePortsKey, "22");
        return store.Flush() ? Written : Refused;
    }
    const pid_t child = fork();
    if (child == 0) {
        constexpr uid_t Nobody = 65534;
        if (setgid(Nobody) != 0 || setuid(Nobody) != 0) {
            _exit(NoUser);
        }
        IniSettingsStore asUser;
        asUser.Write(BlockedRemotePortsKey, "22");
        _exit(asUser.Flush() ? Written : Refused);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) {
        return NoUser;
    }
    return WEXITSTATUS(status);
}

TEST_F(IniStore, AReadOnlyFileIsNotWrittenAndReportsFailure) {
    WriteFile("[General]\nBlockedRemotePortsString=443\n");
    // The folders are writable by anyone: only the file itself refuses.
    const QFileDevice::Permissions everyone(0x7777);
    const QFileDevice::Permissions readOnly(0x4444);
    ASSERT_TRUE(QFile::setPermissions(configHome.path(), everyone));
    ASSERT_TRUE(QFile::setPermissions(configHome.path() + "/Quarnel", everyone));
    ASSERT_TRUE(QFile::setPermissions(File(), readOnly));
    EXPECT_EQ(FlushAsUser(store), Refused);
    EXPECT_EQ(ReadFile().toStdString(), "[General]\nBlockedRemotePortsString=443\n");
}

}  // namespace
}  // namespace quarnel

int main(int argc, char** argv) {
    // Never the user's real settings: a private config folder for the whole run.
    QTemporaryDir configHome;
    if (!configHome.isValid()) {
        return 1;
    }
    qputenv("XDG_CONFIG_HOME", configHome.path().toLocal8Bit());
    QCoreApplication app(argc, argv);
    quarnel::DefaultLocation = quarnel::IniSettingsStore().Location();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
