#pragma once

// quarneld run for real from the tests, on a rules file in a temporary folder.

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <QProcess>
#include <QTemporaryDir>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>

#include "tests/support/WaitUntil.h"

namespace quarnel {

using testsupport::kEventTimeout;
using testsupport::WaitUntil;

inline std::string Contents(const std::string& path) {
    std::ifstream file(path);
    return {std::istreambuf_iterator<char>(file), {}};
}

// A folder with the rules file (in its own folder etc/) and what quarneld writes to stdout and
// stderr.
struct Folder {
    Folder() { std::filesystem::create_directory(Path("etc")); }
    std::string Path(const std::string& name) const {
        return dir.path().toStdString() + "/" + name;
    }
    std::string Read(const std::string& name) const { return Contents(Path(name)); }
    // Writes the rules file in place, as a shell's > does.
    void WriteRules(const std::string& content) const {
        std::ofstream(Path(Rules), std::ios::binary | std::ios::trunc) << content;
    }
    // Replaces the rules file by a rename, as editors save.
    void ReplaceRules(const std::string& content) const {
        std::ofstream(Path(Rules) + ".new", std::ios::binary) << content;
        std::filesystem::rename(Path(Rules) + ".new", Path(Rules));
    }
    static constexpr const char* Rules = "etc/Quarnel.ini";
    QTemporaryDir dir;
};

// One run of quarneld --config on the folder's rules file, with no home and no display, keeping
// its accepted rules in the folder's state/; its stdout and stderr go to files in the folder.
// With journal, its output is taken for the journal, as under systemd.
struct Daemon : QProcess {
    // With notify, it tells systemd's messages to the socket at that path.
    // extra: more of the environment, NAME=value each. With openFiles, its soft RLIMIT_NOFILE
    // is that.
    explicit Daemon(const Folder& folder, bool journal = false, const QStringList& options = {},
                    const std::string& notify = {}, const QStringList& extra = {},
                    rlim_t openFiles = 0)
        : Log(folder.Path("log")) {
        if (openFiles != 0) {
            setChildProcessModifier([openFiles] {
                rlimit limit{};
                (void)::getrlimit(RLIMIT_NOFILE, &limit);
                limit.rlim_cur = openFiles;
                (void)::setrlimit(RLIMIT_NOFILE, &limit);
            });
        }
        QProcessEnvironment environment;
        environment.insert("PATH", "/usr/bin:/bin");
        if (!notify.empty()) {
            environment.insert("NOTIFY_SOCKET", QString::fromStdString(notify));
        }
        std::filesystem::create_directories(folder.Path("state"));
        environment.insert("STATE_DIRECTORY", QString::fromStdString(folder.Path("state")));
        if (journal) {
            std::ofstream(Log, std::ios::trunc).flush();  // the same file, truncated, is its stdout
            struct stat file {};
            EXPECT_EQ(::stat(Log.c_str(), &file), 0);
            environment.insert("JOURNAL_STREAM",
                               QString::fromStdString(std::to_string(file.st_dev) + ":" +
                                                      std::to_string(file.st_ino)));
        }
        for (const char* name : {"ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS"}) {
            if (qEnvironmentVariableIsSet(name)) {
                environment.insert(name, qEnvironmentVariable(name));
            }
        }
        for (const QString& variable : extra) {
            environment.insert(variable.section('=', 0, 0), variable.section('=', 1));
        }
        setProcessEnvironment(environment);
        setStandardOutputFile(QString::fromStdString(Log));
        setStandardErrorFile(QString::fromStdString(Log + ".err"));
        start(
            QUARNEL_DAEMON,
            QStringList{"--config", QString::fromStdString(folder.Path(Folder::Rules))} + options);
        (void)waitForStarted();
    }
    std::string Read() const { return Contents(Log); }
    // Whether it logged text in time: kStartTimeout for what it says as it starts.
    bool Logged(const std::string& text, std::chrono::milliseconds timeout = kEventTimeout) const {
        return WaitUntil([&] { return Read().find(text) != std::string::npos; }, timeout);
    }
    void Signal(int number) { ASSERT_EQ(::kill(static_cast<pid_t>(processId()), number), 0); }
    // Ends it by SIGTERM, which it must end on cleanly; whether it did.
    bool Stop() {
        return ::kill(static_cast<pid_t>(processId()), SIGTERM) == 0 &&
               waitForFinished(
                   static_cast<int>(std::chrono::milliseconds(kEventTimeout).count())) &&
               exitStatus() == NormalExit && exitCode() == 0;
    }

    std::string Log;
};

}  // namespace quarnel
