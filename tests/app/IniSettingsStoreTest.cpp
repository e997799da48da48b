#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "app/IniSettingsStore.h"
#include "engine/Settings.h"
#include "tests/engine/TestEngine.h"

namespace quarnel {
namespace {

using testing::Texts;

// The rule lists through the user's real INI file, in the run's private config folder (Qt reads
// XDG_CONFIG_HOME once per process): every test starts without a Quarnel folder there.
class IniStore : public ::testing::Test {
protected:
    void SetUp() override {
        (void)QFile::remove(Folder());  // a file a test left in the folder's place
        ASSERT_TRUE(QDir(Folder()).removeRecursively());
        oManager.oMainForm = &window;
    }
    void PutFileWhereTheFolderBelongs() {
        QFile blocker(Folder());
        ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    }
    void WriteFile(const char* text) {
        ASSERT_TRUE(QDir().mkpath(Folder()));
        QFile file(File());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(text);
    }
    std::string ReadFile() {
        QFile file(File());
        return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : "";
    }
    static QString Folder() { return qEnvironmentVariable("XDG_CONFIG_HOME") + "/Quarnel"; }
    static QString File() { return Folder() + "/Quarnel.ini"; }
    static Texts Items(const List& list) { return testing::ItemTexts(list); }

    IniSettingsStore store;
    testing::FakeTable table;
    testing::FakeHosts hosts;
    testing::FakeWindow window;
    Engine engine{table, hosts, store};
    Manager& oManager = engine.oManager;
};

TEST_F(IniStore, ListsSurviveARoundTripThroughTheUsersFile) {
    EXPECT_EQ(store.Location(), File().toStdString());
    oManager.LoadSettings();
    EXPECT_EQ(Items(oManager.oAllowedIP), Texts{"127.0.0.1"});  // no file yet
    oManager.LoadListFromString(oManager.oAllowedIP, "");
    oManager.LoadListFromString(oManager.oBlockedLocalPorts, "445,139");
    oManager.LoadListFromString(oManager.oBlockedRemotePorts, "22,80,443");
    ASSERT_TRUE(oManager.SaveSettings());
    // Qt quotes a value with commas, so it cannot read back as a list of pieces.
    EXPECT_EQ(ReadFile(),
              "[General]\nAllowedIPString=\nBlockedLocalPortsString=\"445,139\"\n"
              "BlockedRemotePortsString=\"22,80,443\"\n");

    IniSettingsStore again;
    Engine next(table, hosts, again);
    next.oManager.LoadSettings();
    EXPECT_EQ(Items(next.oManager.oBlockedLocalPorts), (Texts{"445", "139"}));
    EXPECT_EQ(Items(next.oManager.oBlockedRemotePorts), (Texts{"22", "80", "443"}));
    EXPECT_EQ(Items(next.oManager.oAllowedIP), Texts{});  // emptied on purpose, not defaulted
    EXPECT_TRUE(window.Messages.empty());
}

TEST_F(IniStore, AHandEditedFileLoadsWithoutBlanksEmptyPiecesOrNonNumericPorts) {
    WriteFile(
        "[General]\nAllowedIPString=127.0.0.1, 10.0.0.1 ,,x\n"
        "BlockedLocalPortsString= 80 , abc,,443\nBlockedRemotePortsString=\"8080,22\"\n");
    oManager.LoadSettings();
    // Empty pieces go; the allowed list holds any text, the port lists only numbers.
    EXPECT_EQ(Items(oManager.oAllowedIP), (Texts{"127.0.0.1", "10.0.0.1", "x"}));
    EXPECT_EQ(Items(oManager.oBlockedLocalPorts), (Texts{"80", "443"}));
    EXPECT_EQ(Items(oManager.oBlockedRemotePorts), (Texts{"8080", "22"}));
}

TEST_F(IniStore, AFileThatCannotBeWrittenIsToldOnceAndTheRulesStayInMemory) {
    // A plain file where the Quarnel folder belongs stops root as well as any user.
    PutFileWhereTheFolderBelongs();
    oManager.LoadListFromString(oManager.oBlockedLocalPorts, "445,139");
    const Texts told{SaveFailedText(File().toStdString())};

    EXPECT_FALSE(oManager.SaveSettings());
    EXPECT_FALSE(oManager.SaveSettings());
    EXPECT_EQ(window.Messages, told);
    EXPECT_EQ(Items(oManager.oBlockedLocalPorts), (Texts{"445", "139"}));

    // A write that works again makes the next failure news again.
    ASSERT_TRUE(QFile::remove(Folder()));
    EXPECT_TRUE(oManager.SaveSettings());
    EXPECT_EQ(ReadFile(),
              "[General]\nAllowedIPString=\nBlockedLocalPortsString=\"445,139\"\n"
              "BlockedRemotePortsString=\n");
    ASSERT_TRUE(QDir(Folder()).removeRecursively());
    PutFileWhereTheFolderBelongs();
    EXPECT_FALSE(oManager.SaveSettings());
    EXPECT_EQ(window.Messages, (Texts{told[0], told[0]}));
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
