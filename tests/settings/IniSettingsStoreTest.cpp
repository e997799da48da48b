// The window program's store on a real file: a failed write does not make every later one look
// failed, a save keeps what was written by hand meanwhile, and a file that can no longer be
// understood is not written over. Set aside and unreadable files are checked through the
// program itself.

#include "settings/IniSettingsStore.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <filesystem>
#include <fstream>
#include <string>

namespace quarnel {
namespace {

struct ConfigFolder {
    std::string Read() const {
        std::ifstream file(Path);
        return {std::istreambuf_iterator<char>(file), {}};
    }
    void Write(const std::string& text) const { std::ofstream(Path) << text; }

    QTemporaryDir dir;
    std::string Folder = dir.path().toStdString() + "/Quarnel";
    std::string Path = Folder + "/Quarnel.ini";
};

TEST(IniStore, EachFlushTellsWhetherThatWriteWorked) {
    const ConfigFolder config;
    IniSettingsStore store(config.Path);
    for (const bool blocked : {true, false, true, false}) {
        // A plain file where the Quarnel folder belongs stops root as well as any user.
        std::filesystem::remove_all(config.Folder);
        if (blocked) {
            std::ofstream(config.Folder) << "";
        }
        store.Write("BlockedLocalPortsString", "445,139");
        EXPECT_EQ(store.Flush(), !blocked);
    }
    EXPECT_EQ(IniSettingsStore(config.Path).Read("BlockedLocalPortsString", ""), "445,139");
}

TEST(IniStore, ASaveKeepsWhatWasWrittenByHandAndNeverWritesOverWhatItCannotUnderstand) {
    const ConfigFolder config;
    std::filesystem::create_directories(config.Folder);
    config.Write("; mine\n[General]\nBlockedLocalPortsString=22\n");
    IniSettingsStore store(config.Path);
    EXPECT_EQ(store.Read("BlockedLocalPortsString", ""), "22");

    // Edited by hand while the program runs: the edit stays beside the lists the program saves.
    config.Write("; mine\n[General]\nBlockedLocalPortsString=22\nOwnNamespaceOnly=true\n");
    store.Write("BlockedLocalPortsString", "22,80");
    ASSERT_TRUE(store.Flush());
    EXPECT_EQ(config.Read(),
              "; mine\n[General]\nBlockedLocalPortsString=\"22,80\"\nOwnNamespaceOnly=true\n");
    EXPECT_EQ(store.Read("OwnNamespaceOnly", ""), "true");

    // Broken meanwhile: nothing is written, and the file stays as it is.
    config.Write("[General\nBlockedLocalPortsString=22\n");
    store.Write("BlockedLocalPortsString", "443");
    EXPECT_FALSE(store.Flush());
    EXPECT_EQ(config.Read(), "[General\nBlockedLocalPortsString=22\n");
}

// A settings file kept elsewhere and linked into place (as dotfile managers do) stays linked:
// the file it names gets the rules, with its mode.
TEST(IniStore, ALinkedFileStaysLinkedAndKeepsItsMode) {
    const ConfigFolder config;
    std::filesystem::create_directories(config.Folder);
    const std::string real = config.dir.path().toStdString() + "/dotfiles.ini";
    std::ofstream(real) << "[General]\nAllowedIPString=127.0.0.1\n";
    std::filesystem::permissions(
        real, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    std::filesystem::create_symlink(real, config.Path);
    IniSettingsStore store(config.Path);
    store.Write("AllowedIPString", "::1");
    ASSERT_TRUE(store.Flush());
    EXPECT_TRUE(std::filesystem::is_symlink(config.Path));
    EXPECT_EQ(config.Read(), "[General]\nAllowedIPString=::1\n");
    EXPECT_EQ(std::filesystem::status(real).permissions(),
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

// A copy kept before entries are dropped is the file's text to the byte, beside it (as the
// program tells, in Program.ClosesABlockedConnection...), and never over an earlier copy.
TEST(IniStore, KeepsEachCopyOfTheFileUnderAFreeName) {
    const ConfigFolder config;
    EXPECT_EQ(IniSettingsStore(config.Path).KeepCopy(), "");  // no file: nothing to keep
    std::filesystem::create_directories(config.Folder);
    const std::string text = "[General]\nBlockedLocalPortsString=\"22,abc,70000\"\n";
    config.Write(text);
    IniSettingsStore store(config.Path);
    EXPECT_EQ(store.KeepCopy(), config.Path + ".not-understood");
    EXPECT_EQ(store.KeepCopy(), config.Path + ".not-understood-2");
    std::ifstream copy(config.Path + ".not-understood-2");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(copy), {}), text);
    EXPECT_EQ(config.Read(), text);
}

}  // namespace
}  // namespace quarnel
