// The settings file of every earlier version was read and written by Qt (QSettings): what Qt
// wrote reads here as Qt read it, what is written here Qt reads as it was written, line for line
// as Qt would have written it, and files people write read alike (but where Qt fails them: see
// IniFormat.ReadsWhatQtCannot...).

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QFile>
#include <QSettings>
#include <QStringList>
#include <QTemporaryDir>

#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "settings/IniFormat.h"

namespace quarnel {
namespace {

// Awkward values: separators, quotes, escapes, blanks at the ends, control characters, "@".
std::vector<std::string> AwkwardValues() {
    const char* atoms[] = {"a",    "1",  ",",  ";",        "=",    " ",  "\t",
                           "\"",   "\\", "@",  "@@",       "x",    "f7", "\x01",
                           "\x1f", "\n", "\r", "\xC3\xA9", "\x7f", "[",  "]"};
    std::vector<std::string> values = {"",           "127.0.0.1,::1", "445,139", "6000-6063",
                                       "@Invalid()", "[General]",     "\\x41"};
    std::mt19937 random(20261208);
    for (int i = 0; i < 300; ++i) {
        std::string value;
        for (std::size_t n = random() % 10; n > 0; --n) {
            value += atoms[random() % std::size(atoms)];
        }
        values.push_back(value);
    }
    return values;
}

std::string FileText(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : std::string();
}

void WriteFile(const QString& path, const std::string& text) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(file.write(text.data(), qint64(text.size())), qint64(text.size()));
}

// Every key as the window program read it through Qt: a list joined by "," again.
std::map<std::string, std::string> ReadByQt(const QString& path) {
    QSettings settings(path, QSettings::IniFormat);
    std::map<std::string, std::string> values;
    for (const QString& key : settings.allKeys()) {
        const QVariant value = settings.value(key);
        values[key.toStdString()] = value.typeId() == QMetaType::QStringList
                                        ? value.toStringList().join(',').toStdString()
                                        : value.toString().toStdString();
    }
    EXPECT_EQ(settings.status(), QSettings::NoError);
    return values;
}

std::map<std::string, std::string> ReadHere(const std::string& text) {
    const IniContents contents = ReadIni(text);
    EXPECT_TRUE(contents.Understood) << contents.Problem;
    return {contents.Values.begin(), contents.Values.end()};
}

TEST(QtCompatibility, WhatQtWroteReadsAsItWasAndWhatIsWrittenHereIsWhatQtWrote) {
    const QTemporaryDir dir;
    const QString byQt = dir.filePath("qt.ini"), here = dir.filePath("here.ini");
    std::map<std::string, std::string> values;
    IniValues written;
    std::string before = "[General]\n";
    for (const std::string& value : AwkwardValues()) {
        char key[8];
        std::snprintf(key, sizeof key, "K%03zu", values.size());  // in Qt's order of keys
        values[key] = value;
        written.emplace_back(key, value);
        before += std::string(key) + "=old\n";
    }
    {
        QSettings settings(byQt, QSettings::IniFormat);
        for (const auto& [key, value] : values) {
            settings.setValue(QString::fromStdString(key), QString::fromStdString(value));
        }
        settings.setValue("Other/Key", "kept");
    }
    const std::string text = FileText(byQt);
    values["Other/Key"] = "kept";
    EXPECT_EQ(ReadHere(text), values);

    // Written here over such a file: Qt's own text, which Qt reads as it was written.
    const std::string rewritten = WithIniValues(before + "\n[Other]\nKey=kept\n", written);
    EXPECT_EQ(rewritten, text);
    WriteFile(here, rewritten);
    EXPECT_EQ(ReadByQt(here), values);
}

TEST(QtCompatibility, FilesPeopleWriteReadAsQtReadsThem) {
    const char* texts[] = {
        "[General]\nBlockedLocalPortsString=445,139\nAllowedIPString=\"127.0.0.1,::1\"\n",
        "; made by hand\r\n[general]\r\nBlockedRemotePortsString = 25 , 465,587 \r\n",
        "BlockedLocalPortsString=22 ; ssh\n[Other]\nAllowedIPString=x\n[General]\nA=1\n",
        "[General]\nA=\"a;b\", c ,\"d\"\nB=\\x41\\102\\t\\\\\\q|\nC=@@at\nD=x=y\nE=\n",
        "[General]\nBlocked%4cocalPortsString=1\nBlockedLocalPortsString=2\n[%General]\nK=v\n",
        "[ General ] trailing\n  Indented = value  \n\t; comment\n[Rules]\nK=\"quoted \\\" "
        "here\"\n",
    };
    const QTemporaryDir dir;
    int file = 0;
    for (const char* text : texts) {
        SCOPED_TRACE(text);
        const QString path = dir.filePath(QString::number(++file) + ".ini");
        WriteFile(path, text);
        EXPECT_EQ(ReadHere(text), ReadByQt(path));
    }
}

}  // namespace
}  // namespace quarnel

int main(int argc, char** argv) {
    const QCoreApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
