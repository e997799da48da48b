// What the service makes of its rules file as a file: refused whole, with the reason, when it
// cannot be read safely, and read as a reload would read it by quarneld --check.

#include "service/RulesCheck.h"
#include "service/RulesFile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QTemporaryDir>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "engine/Settings.h"
#include "platform/linux/filter/CgroupRoot.h"
#include "tests/support/Descriptors.h"

namespace quarnel {
namespace {

using Values = std::map<std::string, std::string>;
using namespace std::string_literals;

struct RulesFolder {
    std::string Write(const std::string& content) const {
        std::ofstream(Path, std::ios::binary | std::ios::trunc) << content;
        return Path;
    }
    QTemporaryDir dir;
    std::string Path = dir.path().toStdString() + "/Quarnel.ini";
};

// What the package installs is read (nothing blocked, loopback allowed, every line explained);
// a file the service cannot read without trusting more than its bytes is refused, and none is
// no rules at all. What the text may say is read in the settings' tests.
TEST(RulesFile, ReadsWhatThePackageInstallsAndRefusesWhatIsNoFileOfRules) {
    const RulesReading shipped = ReadRulesFile(QUARNEL_SHIPPED_RULES);
    EXPECT_EQ(shipped.Result, RulesReading::Outcome::Read) << shipped.Problem;
    EXPECT_EQ(shipped.Values, (Values{{AllowedIPKey, "127.0.0.1,::1"},
                                      {BlockedLocalPortsKey, ""},
                                      {BlockedRemotePortsKey, ""}}));

    const RulesFolder folder;
    EXPECT_EQ(ReadRulesFile(folder.Write(std::string(2 << 20, ';'))).Problem,
              "it is larger than 1 MiB");
    std::filesystem::remove(folder.Path);
    EXPECT_EQ(ReadRulesFile(folder.Path).Result, RulesReading::Outcome::Missing);
    std::filesystem::create_directory(folder.Path);
    EXPECT_EQ(ReadRulesFile(folder.Path).Problem, "it is not a regular file");
    std::filesystem::remove(folder.Path);
    ASSERT_EQ(::mkfifo(folder.Path.c_str(), 0600), 0);  // opened, it would wait for a writer
    EXPECT_EQ(ReadRulesFile(folder.Path).Problem, "it is not a regular file");
}

// Out of descriptors (ulimit -n), the reasons name that, not a refusal of the file or a system
// without cgroup v2; the service then does not start guarding with rules it could not read.
TEST(RulesFile, ExhaustedDescriptorsAreSaidForWhatTheyAre) {
    const RulesFolder folder;
    const std::string path = folder.Write("[General]\nBlockedLocalPortsString=445\n");
    // Once with descriptors to spare first: UndefinedBehaviorSanitizer needs a pipe to check a
    // virtual call it has not seen yet, and cannot make one while none is left.
    RulesReading reading = ReadRulesFile(path);
    int error = 0;
    std::string root = platform::FindCgroup2Root(&error);
    {
        const testsupport::DescriptorsUsedUp taken;
        reading = ReadRulesFile(path);
        root = platform::FindCgroup2Root(&error);
    }
    EXPECT_EQ(reading.Result, RulesReading::Outcome::Unusable);
    EXPECT_EQ(reading.Problem, "cannot open it: Too many open files");
    EXPECT_EQ(reading.Error, EMFILE);
    EXPECT_EQ(root, "");
    EXPECT_EQ(error, EMFILE);
}

// quarneld --check reads as a reload reads: 0 and what it would put in force on standard output,
// or 1 and why not on standard error.
TEST(RulesFile, TheCheckTellsWhatAReloadWouldDo) {
    const RulesFolder folder;
    // content (none: no file), the status, and what it says after the file's path
    const std::tuple<std::optional<std::string>, int, std::string> cases[] = {
        {"[General]\nBlockedLocalPortsString=\"445,139\"\nBlockedPorts=1\n", 0,
         ": good; the rules it puts in force: blocked local ports 445,139; blocked remote ports "
         "none; allowed addresses 127.0.0.1,::1\n" +
             folder.Path + ": the key BlockedPorts is ignored (no rule list)\n"},
        {"[General]\nBlockedLocalPortsString=44x\n", 1,
         ": refused: BlockedLocalPortsString holds \"44x\", which is no port number or range (1 "
         "to 65535); the rules in force would stay\n"},
        {std::nullopt, 1, ": there is no such file; the rules in force would stay\n"},
    };
    for (const auto& [content, status, said] : cases) {
        if (content) {
            folder.Write(*content);
        } else {
            std::filesystem::remove(folder.Path);
        }
        using File = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;
        const File files[] = {{std::tmpfile(), std::fclose}, {std::tmpfile(), std::fclose}};
        EXPECT_EQ(CheckRulesFile(folder.Path, files[0].get(), files[1].get()), status);
        for (const File& file : files) {  // said on standard output when 0, else on error
            std::string text(std::size_t(std::ftell(file.get())), '\0');
            std::rewind(file.get());
            text.resize(std::fread(text.data(), 1, text.size(), file.get()));
            EXPECT_EQ(text, (&file == &files[status]) ? folder.Path + said : "");
        }
    }
}

// Nothing read is kept by its size or time: a new file of the same size and time, as cp -p or
// an archive leaves it, is read anew.
TEST(RulesFile, ANewFileOfTheSameSizeAndTimeIsReadAnew) {
    const RulesFolder folder;
    const std::array<timespec, 2> sameTime{timespec{1700000000, 0}, timespec{1700000000, 0}};
    for (const char* ports : {"445", "139", "445"}) {
        folder.Write(std::string("[General]\nBlockedLocalPortsString=") + ports + "\n");
        ASSERT_EQ(::utimensat(AT_FDCWD, folder.Path.c_str(), sameTime.data(), 0), 0);
        EXPECT_EQ(ReadRulesFile(folder.Path).Values, (Values{{BlockedLocalPortsKey, ports}}));
    }
}

}  // namespace
}  // namespace quarnel
