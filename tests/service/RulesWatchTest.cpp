// When the service reads its rules file again: the folder watch sees a change of the file
// wherever symbolic links lead it (a link to the file, a linked folder, a Kubernetes
// ConfigMap's ..data flips), and ignores the rest; a file that keeps changing is still read
// every second or so.

#include "service/RulesWatch.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <QTemporaryDir>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

#include "service/ReloadDelay.h"
#include "tests/support/WaitUntil.h"

namespace quarnel {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

void Write(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::trunc) << text;
}

// Whether the watch reports a change within timeout.
bool ChangeSeen(RulesWatch& watch, std::chrono::milliseconds timeout = testsupport::kEventTimeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (watch.TakeChange()) {
            return true;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left <= 0ms) {
            return false;
        }
        pollfd wait{watch.Descriptor(), POLLIN, 0};
        (void)::poll(&wait, 1, static_cast<int>(left.count()));
    }
}

// Nothing waits once everything the test did before was reported.
void Settle(RulesWatch& watch) {
    (void)ChangeSeen(watch, 50ms);
}

class RulesWatchTest : public ::testing::Test {
protected:
    QTemporaryDir temp_;
    fs::path root_{temp_.path().toStdString()};
};

TEST_F(RulesWatchTest, SeesTheFileRewrittenOrReplacedAndNothingElse) {
    const fs::path file = root_ / "Quarnel.ini";
    Write(file, "[Rules]\n");
    RulesWatch watch(file.string());
    ASSERT_GE(watch.Descriptor(), 0) << watch.Problem();
    Write(file, "[Rules]\nBlockedLocalPorts=1\n");
    EXPECT_TRUE(ChangeSeen(watch)) << "written in place";
    Settle(watch);
    Write(root_ / "other", "x");
    EXPECT_FALSE(ChangeSeen(watch, 200ms)) << "another file of the folder";
    Write(root_ / "new", "[Rules]\n");
    fs::rename(root_ / "new", file);
    EXPECT_TRUE(ChangeSeen(watch)) << "replaced by a rename";
}

TEST_F(RulesWatchTest, FollowsALinkToTheFileInAnotherFolder) {
    fs::create_directories(root_ / "etc");
    fs::create_directories(root_ / "srv");
    const fs::path target = root_ / "srv" / "rules.ini";
    Write(target, "[Rules]\n");
    fs::create_symlink("../srv/rules.ini", root_ / "etc" / "Quarnel.ini");
    RulesWatch watch((root_ / "etc" / "Quarnel.ini").string());
    ASSERT_GE(watch.Descriptor(), 0) << watch.Problem();

    Write(target, "[Rules]\nBlockedLocalPorts=1\n");
    EXPECT_TRUE(ChangeSeen(watch)) << "the target rewritten in place";
    Settle(watch);
    Write(root_ / "srv" / "rules.new", "[Rules]\nBlockedLocalPorts=2\n");
    EXPECT_FALSE(ChangeSeen(watch, 200ms)) << "another file of the target's folder";
    fs::rename(root_ / "srv" / "rules.new", target);
    EXPECT_TRUE(ChangeSeen(watch)) << "a rename over the target";
    Settle(watch);

    // The link pointed at another file: that one is followed from then on.
    const fs::path second = root_ / "srv" / "second.ini";
    Write(second, "[Rules]\n");
    fs::create_symlink("../srv/second.ini", root_ / "etc" / "link.new");
    fs::rename(root_ / "etc" / "link.new", root_ / "etc" / "Quarnel.ini");
    EXPECT_TRUE(ChangeSeen(watch)) << "the link pointed elsewhere";
    Settle(watch);
    Write(second, "[Rules]\nBlockedLocalPorts=3\n");
    EXPECT_TRUE(ChangeSeen(watch)) << "the new target rewritten";
    Settle(watch);
    Write(target, "[Rules]\nBlockedLocalPorts=4\n");
    EXPECT_FALSE(ChangeSeen(watch, 200ms)) << "the old target is no longer the file";
}

TEST_F(RulesWatchTest, FollowsALinkedFolderPointedElsewhere) {
    fs::create_directories(root_ / "one");
    fs::create_directories(root_ / "two");
    Write(root_ / "one" / "Quarnel.ini", "[Rules]\n");
    Write(root_ / "two" / "Quarnel.ini", "[Rules]\nBlockedLocalPorts=1\n");
    fs::create_directory_symlink("one", root_ / "conf");
    RulesWatch watch((root_ / "conf" / "Quarnel.ini").string());
    ASSERT_GE(watch.Descriptor(), 0) << watch.Problem();

    fs::create_directory_symlink("two", root_ / "conf.new");
    fs::rename(root_ / "conf.new", root_ / "conf");
    EXPECT_TRUE(ChangeSeen(watch)) << "the folder's link pointed elsewhere";
    Settle(watch);
    Write(root_ / "two" / "Quarnel.ini", "[Rules]\nBlockedLocalPorts=2\n");
    EXPECT_TRUE(ChangeSeen(watch)) << "the file in the folder it leads to now";
}

// As the kubelet updates a mounted ConfigMap: Quarnel.ini -> ..data/Quarnel.ini, ..data ->
// ..<time>; a new version is a new timed folder, a new ..data link renamed over the old, and the
// old folder removed.
TEST_F(RulesWatchTest, SeesEveryFlipOfAConfigMapsData) {
    const auto version = [&](int n) {
        const fs::path folder = root_ / ("..2026_12_09_06_00_0" + std::to_string(n));
        fs::create_directories(folder);
        Write(folder / "Quarnel.ini", "[Rules]\nBlockedLocalPorts=" + std::to_string(n) + "\n");
        return folder.filename();
    };
    fs::create_directory_symlink(version(0), root_ / "..data");
    fs::create_symlink("..data/Quarnel.ini", root_ / "Quarnel.ini");
    RulesWatch watch((root_ / "Quarnel.ini").string());
    ASSERT_GE(watch.Descriptor(), 0) << watch.Problem();

    fs::path previous = root_ / fs::read_symlink(root_ / "..data");
    for (int n = 1; n <= 5; ++n) {
        const fs::path folder = version(n);
        fs::create_directory_symlink(folder, root_ / "..data_tmp");
        fs::rename(root_ / "..data_tmp", root_ / "..data");
        fs::remove_all(previous);
        previous = root_ / folder;
        EXPECT_TRUE(ChangeSeen(watch)) << "flip " << n;
        Settle(watch);
    }
}

TEST(ReloadDelay, ReadsOnceQuietYetAtLeastEverySecondOfChanges) {
    using Clock = ReloadDelay::Clock;
    ReloadDelay delay;
    const Clock::time_point start{};
    EXPECT_FALSE(delay.TakeDue(start));
    delay.Changed(start);
    EXPECT_FALSE(delay.TakeDue(start + 99ms)) << "before the file was quiet";
    EXPECT_TRUE(delay.TakeDue(start + 100ms));
    EXPECT_FALSE(delay.TakeDue(start + 200ms)) << "read once";

    // Rewritten every 50 ms for 5 s: read every second, not once at the end.
    int reads = 0;
    Clock::time_point lastRead = start;
    Clock::duration longest{};
    for (Clock::time_point now = start; now < start + 5s; now += 10ms) {
        if ((now - start) % 50ms == 0ms) {
            delay.Changed(now);
        }
        if (delay.TakeDue(now)) {
            ++reads;
            longest = std::max(longest, now - lastRead);
            lastRead = now;
        }
    }
    EXPECT_GE(reads, 4);
    EXPECT_LE(longest, 1s + 50ms);

    delay.Changed(start);
    delay.Cancel();
    EXPECT_FALSE(delay.TakeDue(start + 2s)) << "read by a signal meanwhile";
}

}  // namespace
}  // namespace quarnel
