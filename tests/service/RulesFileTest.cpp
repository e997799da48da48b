// What the service makes of its rules file: the window program's files read as they are, and
// every file it cannot trust is refused whole, with the reason.

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

// The window program's own form is read in the service's tests; here, what a person writes.
TEST(RulesFile, ReadsWhatAPersonWritesAndWhatThePackageInstalls) {
    const RulesFolder folder;
    // Saved by an editor that starts with a UTF-8 byte order mark: comments, blanks around the
    // pieces, IPv6, a key that is no rule list.
    const RulesReading reading = ReadRulesFile(folder.Write(
        "\xEF\xBB\xBF; mine\n[General]\n; the mail ports\nBlockedRemotePortsString=25, 465 ,587\n"
        "AllowedIPString=127.0.0.1,::1\nBlockedRemotePorts=80\nOwnNamespaceOnly=true\n"));
    EXPECT_EQ(reading.Result, RulesReading::Outcome::Read) << reading.Problem;
    EXPECT_EQ(reading.Values,
              (Values{{AllowedIPKey, "127.0.0.1,::1"}, {BlockedRemotePortsKey, "25,465,587"}}));
    EXPECT_EQ(reading.IgnoredKeys, std::vector<std::string>{"BlockedRemotePorts"});
    EXPECT_EQ(reading.OwnNamespaceOnly, true);
    // What the package installs: nothing blocked, loopback allowed, every line explained.
    const RulesReading shipped = ReadRulesFile(QUARNEL_SHIPPED_RULES);
    EXPECT_EQ(shipped.Result, RulesReading::Outcome::Read) << shipped.Problem;
    EXPECT_EQ(shipped.Values, (Values{{AllowedIPKey, "127.0.0.1,::1"},
                                      {BlockedLocalPortsKey, ""},
                                      {BlockedRemotePortsKey, ""}}));
}

TEST(RulesFile, RefusesWhatItCannotTrustAndSaysWhy) {
    const RulesFolder folder;
    const std::pair<std::string, std::string> cases[] = {
        {"[General]\nBlockedLocalPortsString=80\n\0\x01"s, "not a settings file"},
        {"# a shell's comment\n[General]\nBlockedLocalPortsString=80\n", "not a settings file"},
        {"[General]\nBlockedLocalPorts=80\n", "holds none of the keys"},
        {"[General]\nAllowedIPString=10.20.1.2/16\n", "(its network is 10.20.0.0/16)"},
        {"[General]\nAllowedIPString=\nOwnNamespaceOnly=yes\n",
         "OwnNamespaceOnly holds \"yes\", which is neither true nor false"},
        {std::string(2 << 20, ';'), "larger than 1 MiB"},
    };
    for (const auto& [content, problem] : cases) {
        const RulesReading reading = ReadRulesFile(folder.Write(content));
        EXPECT_EQ(reading.Result, RulesReading::Outcome::Unusable) << problem;
        EXPECT_NE(reading.Problem.find(problem), std::string::npos) << reading.Problem;
    }
    std::filesystem::remove(folder.Path);
    EXPECT_EQ(ReadRulesFile(folder.Path).Result, RulesReading::Outcome::Missing);
    std::filesystem::create_directory(folder.Path);
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

// Qt keeps the files it parsed and parses one again only when its size or time changed: a new
// file of the same size and time, as cp -p or an archive leaves it, must still be read anew.
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
