// The settings file's format where it differs from Qt's, what is not understood said with its
// line, and a rewrite that changes only the lines it must. (Qt's own reading and writing of the
// same texts and values is compared in QtCompatibility.)

#include "settings/IniFormat.h"

#include <gtest/gtest.h>

#include <string>

namespace quarnel {
namespace {

// What people write otherwise reads as Qt reads it (QtCompatibility); where Qt fails them this
// reader differs: a byte order mark before a comment, and a quote left open, which ends with its
// line rather than swallowing the next key.
TEST(IniFormat, ReadsWhatQtCannotAndFindsKeysByTheirSections) {
    const IniContents contents = ReadIni(
        "\xEF\xBB\xBF; mine\r\n"
        "AllowedIPString=\"127.0.0.1\n"
        "BlockedLocalPortsString=22\n"
        "[Other]\n"
        "BlockedLocalPortsString=80\n");
    ASSERT_TRUE(contents.Understood) << contents.Problem;
    EXPECT_EQ(contents.Values, (IniValues{{"AllowedIPString", "127.0.0.1"},
                                          {"BlockedLocalPortsString", "22"},
                                          {"Other/BlockedLocalPortsString", "80"}}));
    EXPECT_EQ(contents.Find("Other/BlockedLocalPortsString"), &contents.Values[2].second);
    EXPECT_EQ(contents.Find("Missing"), nullptr);
}

TEST(IniFormat, SaysWhichLineIsNotUnderstoodAndWhy) {
    // A control character is told through the rules' reading (RulesReading.RefusesWhat...).
    const std::pair<std::string, std::string> cases[] = {
        {"# a shell's comment\n[General]\n",
         "line 1 is neither [section], key=value nor a ; comment"},
        {"[General]\r\n\r\n[Rules\r\n", "line 3 opens a section without closing it"},
        {"[General]\nBlockedLocalPortsString\n",
         "line 2 is neither [section], key=value nor a ; comment"},
        {"a;b=c\n", "line 1 is neither [section], key=value nor a ; comment"},
    };
    for (const auto& [text, problem] : cases) {
        const IniContents contents = ReadIni(text);
        EXPECT_FALSE(contents.Understood) << text;
        EXPECT_EQ(contents.Problem, problem) << text;
    }
    EXPECT_TRUE(ReadIni("").Understood);
    EXPECT_TRUE(ReadIni("\t\n ; only a comment\n#key=1").Understood);
}

// The window program's save: its keys' lines rewritten where they stand, everything else kept.
TEST(IniFormat, ARewriteKeepsEveryOtherLineAndWritesAsQtWrites) {
    const std::string text =
        "\xEF\xBB\xBF; my rules\r\n"
        "[General]\r\n"
        "AllowedIPString=127.0.0.1\r\n"
        "; the ports\r\n"
        "BlockedLocalPortsString=22\r\n"
        "OwnNamespaceOnly=true\r\n"
        "BlockedLocalPortsString=23\r\n"
        "[Other]\r\n"
        "AllowedIPString=kept";
    const IniValues written = {{"BlockedLocalPortsString", "445,139"},
                               {"BlockedRemotePortsString", ""},
                               {"AllowedIPString", " spaced "}};
    EXPECT_EQ(WithIniValues(text, written),
              "\xEF\xBB\xBF; my rules\r\n"
              "[General]\r\n"
              "AllowedIPString=\" spaced \"\r\n"
              "; the ports\r\n"
              "BlockedLocalPortsString=\"445,139\"\r\n"
              "OwnNamespaceOnly=true\r\n"
              "BlockedRemotePortsString=\r\n"
              "[Other]\r\n"
              "AllowedIPString=kept");

    // A first save makes the file as Qt made it.
    EXPECT_EQ(WithIniValues("", {{"BlockedLocalPortsString", ""},
                                 {"BlockedRemotePortsString", "25"},
                                 {"AllowedIPString", "127.0.0.1,::1"}}),
              "[General]\nAllowedIPString=\"127.0.0.1,::1\"\nBlockedLocalPortsString=\n"
              "BlockedRemotePortsString=25\n");
    // Without a [General] section, one comes at the end; keys before any section are its own.
    EXPECT_EQ(WithIniValues("; mine\n[Other]\nx=1", {{"Key", "v"}}),
              "; mine\n[Other]\nx=1\n[General]\nKey=v\n");
    EXPECT_EQ(WithIniValues("x=1\n[Other]\ny=2\n", {{"Key", "v"}}), "x=1\nKey=v\n[Other]\ny=2\n");
}

}  // namespace
}  // namespace quarnel
