// The settings file's format: what a person writes and what Qt wrote read as Qt reads them,
// what is not understood said with its line, and a rewrite that changes only the lines it must.

#include "settings/IniFormat.h"

#include <gtest/gtest.h>

#include <string>

namespace quarnel {
namespace {

using namespace std::string_literals;

TEST(IniFormat, ReadsWhatPeopleAndQtWriteAsQtReadsIt) {
    const IniContents contents = ReadIni(
        "\xEF\xBB\xBF; mine\r\n"
        "Before=1\n"
        "  [ general ]  ; the rules\n"
        "BlockedRemotePortsString = 25, 465 ,587   ; mail\n"
        "AllowedIPString=\"127.0.0.1,::1\"\n"
        "Quoted=\" a;b \" , \"c\\\"d\"\n"
        "Escaped=\\x41\\102\\t\\q|\n"
        "At=@@home\n"
        "Blocked%4cocalPortsString=1\n"
        "BlockedLocalPortsString=22\n"
        "[Other]\n"
        "BlockedLocalPortsString=80\n"
        "[%General]\n"
        "Key=\n");
    ASSERT_TRUE(contents.Understood) << contents.Problem;
    const IniValues expected = {
        {"Before", "1"},
        {"BlockedRemotePortsString", "25,465,587"},  // a list: its pieces lose their blanks
        {"AllowedIPString", "127.0.0.1,::1"},
        {"Quoted", " a;b ,c\"d"},  // quotes keep what they hold
        {"Escaped", "AB\t|"},      // an escape of nothing known stands for nothing
        {"At", "@home"},
        {"BlockedLocalPortsString", "22"},  // the last line of a key counts
        {"Other/BlockedLocalPortsString", "80"},
        {"General/Key", ""},
    };
    EXPECT_EQ(contents.Values, expected);
    EXPECT_EQ(contents.Find("Other/BlockedLocalPortsString"), &contents.Values[7].second);
    EXPECT_EQ(contents.Find("Missing"), nullptr);

    // A quote left open ends with its line: the next line's key is not swallowed.
    EXPECT_EQ(ReadIni("AllowedIPString=\"127.0.0.1\nBlockedLocalPortsString=22\n").Values,
              (IniValues{{"AllowedIPString", "127.0.0.1"}, {"BlockedLocalPortsString", "22"}}));
}

TEST(IniFormat, SaysWhichLineIsNotUnderstoodAndWhy) {
    const std::pair<std::string, std::string> cases[] = {
        {"[General]\nBlockedLocalPortsString=80\n\x7f"
         "ELF\x02\0\n"s,
         "line 3 holds a control character"},
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
                               {"AllowedIPString", " spaced "},
                               {"Awkward", "say \"hi\"\\\n=@"}};
    EXPECT_EQ(WithIniValues(text, written),
              "\xEF\xBB\xBF; my rules\r\n"
              "[General]\r\n"
              "AllowedIPString=\" spaced \"\r\n"
              "; the ports\r\n"
              "BlockedLocalPortsString=\"445,139\"\r\n"
              "OwnNamespaceOnly=true\r\n"
              "Awkward=\"say \\\"hi\\\"\\\\\\n=@\"\r\n"
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

// Every value comes back as it was written, however awkward.
TEST(IniFormat, EveryValueReadsBackAsWritten) {
    const std::string values[] = {"",
                                  " ",
                                  "a,b",
                                  " a , b ",
                                  "\"",
                                  "\\",
                                  "\\x41",
                                  ";x",
                                  "=",
                                  "@",
                                  "@@",
                                  "@Invalid()",
                                  "\t",
                                  "\n",
                                  "\r",
                                  "\x01"
                                  "1",
                                  "\x1f"
                                  "f",
                                  "\0"
                                  "7"s,
                                  "\x7f",
                                  "caf\xC3\xA9",
                                  "[General]"};
    for (const std::string& value : values) {
        const IniContents back = ReadIni(WithIniValues("[General]\nKey=old\n", {{"Key", value}}));
        ASSERT_TRUE(back.Understood) << value;
        ASSERT_NE(back.Find("Key"), nullptr) << value;
        EXPECT_EQ(*back.Find("Key"), value);
    }
}

}  // namespace
}  // namespace quarnel
