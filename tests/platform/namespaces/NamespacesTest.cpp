// The table of every network namespace: the own rows first with their changes, the others'
// after them with those that changed or moved, closes by namespace, namespaces that come and go;
// and the names the log gives namespaces.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "platform/linux/namespaces/AllNamespacesTcpTable.h"
#include "platform/linux/namespaces/NamespaceNames.h"

namespace quarnel::platform {
namespace {

using namespace std::chrono_literals;
using Clock = AllNamespacesTcpTable::Clock;

TcpRow Row(std::uint64_t cookie, std::uint32_t space = 0) {
    TcpRow row;
    row.State = TcpState::Established;
    row.Cookie = cookie;
    row.Namespace = space;
    return row;
}

// The own namespace's source: hands out its table as told, and its changes.
struct OwnTable final : TcpTableSource {
    ReadResult Read(std::vector<TcpRow>& rows, TableChanges* changes) override {
        if (Next == ReadResult::Changed) {
            rows = Table;
            changes->Whole = Changed.empty();
            changes->Rows = Changed;
        }
        return Next;
    }
    bool CloseConnection(const TcpRow& row) override { return Closed.push_back(row.Cookie), true; }
    CloseAbility CanCloseConnections() override { return CloseAbility::Allowed; }

    std::vector<TcpRow> Table;
    ReadResult Next = ReadResult::Changed;
    std::vector<std::size_t> Changed;  // empty: the whole table
    std::vector<std::uint64_t> Closed;
};

// The other namespaces, each a list of rows the test changes.
struct Others final : OtherNamespaces {
    struct Table final : TcpTableSource {
        explicit Table(Others& others, std::uint32_t inode) : others(others), inode(inode) {}
        ReadResult Read(std::vector<TcpRow>& rows, TableChanges* changes) override {
            rows = others.Spaces[inode];
            return Whole(true, changes);
        }
        bool CloseConnection(const TcpRow& row) override {
            return others.Closed.emplace_back(inode, row.Cookie), true;
        }
        CloseAbility CanCloseConnections() override { return CloseAbility::Allowed; }
        Others& others;
        std::uint32_t inode;
    };
    bool List(std::vector<ListedNamespace>& namespaces, std::string& problem) override {
        namespaces.clear();
        for (const auto& [inode, rows] : Spaces) {
            namespaces.push_back({inode, "space " + std::to_string(inode)});
        }
        problem = "refused";
        return !Refuse;
    }
    std::unique_ptr<TcpTableSource> Open(std::uint32_t inode, std::string&) override {
        return std::make_unique<Table>(*this, inode);
    }

    std::map<std::uint32_t, std::vector<TcpRow>> Spaces;
    bool Refuse = false;
    std::vector<std::pair<std::uint32_t, std::uint64_t>> Closed;
};

TEST(AllNamespaces, OwnChangesPassThroughAndTheOthersThatChangedOrMovedJoinThem) {
    auto ownTable = std::make_unique<OwnTable>();
    auto othersTable = std::make_unique<Others>();
    OwnTable& own = *ownTable;
    Others& others = *othersTable;
    Clock::time_point now{};
    AllNamespacesTcpTable all(std::move(ownTable), std::move(othersTable),
                              {100ms, 1s, [&now] { return now; }});
    own.Table = {Row(1), Row(2)};
    others.Spaces[7] = {Row(70)};
    std::vector<TcpRow> rows;
    TableChanges changes;
    // Changed rows listed, or none listed and whole (else: only rows past the end went).
    const auto read = [&](ReadResult expected, std::vector<std::size_t> changed,
                          bool whole = true) {
        changes = {true, {99}};
        EXPECT_EQ(all.Read(rows, &changes), expected);
        if (expected == ReadResult::Changed) {
            EXPECT_EQ(changes.Whole, whole && changed.empty());
            EXPECT_EQ(changes.Rows, changed);
        }
    };
    read(ReadResult::Changed, {});
    EXPECT_EQ(rows, (std::vector{Row(1), Row(2), Row(70, 7)}));
    EXPECT_EQ(all.Guarded(), 2u);
    EXPECT_EQ(all.TakeNote()->Text, "guards the network namespace space 7");

    // Not due yet: the others stay as they were, and nothing changed is Unchanged.
    now += 50ms;
    others.Spaces[7] = {Row(71), Row(72)};
    own.Next = ReadResult::Unchanged;
    read(ReadResult::Unchanged, {});
    // Due: the others' changes alone.
    now += 50ms;
    read(ReadResult::Changed, {2, 3});
    EXPECT_EQ(rows, (std::vector{Row(1), Row(2), Row(71, 7), Row(72, 7)}));
    // An own row more moves every other one.
    own.Next = ReadResult::Changed;
    own.Table = {Row(1), Row(3), Row(2)};
    own.Changed = {1, 2};
    read(ReadResult::Changed, {1, 2, 3, 4});
    EXPECT_EQ(rows, (std::vector{Row(1), Row(3), Row(2), Row(71, 7), Row(72, 7)}));
    own.Next = ReadResult::Failed;
    read(ReadResult::Failed, {});
    EXPECT_EQ(rows.size(), 5u);

    // Each close goes to the row's namespace; one of a namespace not guarded goes nowhere.
    EXPECT_TRUE(all.CloseConnection(rows[3]));
    EXPECT_TRUE(all.CloseConnection(rows[0]));
    EXPECT_FALSE(all.CloseConnection(Row(90, 9)));
    EXPECT_EQ(others.Closed, (std::vector<std::pair<std::uint32_t, std::uint64_t>>{{7, 71}}));
    EXPECT_EQ(own.Closed, std::vector<std::uint64_t>{1});

    // A listing that fails keeps what is guarded; a namespace gone leaves nothing behind.
    now += 1s;
    others.Refuse = true;
    own.Next = ReadResult::Unchanged;
    read(ReadResult::Unchanged, {});
    EXPECT_TRUE(all.TakeNote()->Problem);
    EXPECT_EQ(all.Guarded(), 2u);
    now += 1s;
    others.Refuse = false;
    others.Spaces.erase(7);
    others.Spaces[8] = {Row(80)};
    read(ReadResult::Changed, {3});
    EXPECT_EQ(rows, (std::vector{Row(1), Row(3), Row(2), Row(80, 8)}));
    EXPECT_EQ(all.NameOf(8), "space 8");
    EXPECT_EQ(all.NameOf(7), "net:[7]");
    now += 1s;
    others.Spaces.clear();
    read(ReadResult::Changed, {}, false);
    EXPECT_EQ(rows.size(), 3u);
    EXPECT_EQ(all.Guarded(), 1u);
}

// The ip netns name first, then a container's from the cgroup path, else the inode.
TEST(NamespaceNames, NameTheBindMountThenTheContainerThenTheInode) {
    const std::filesystem::path folder = std::filesystem::temp_directory_path() /
                                         ("quarnel-netns-names-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    std::ofstream(folder / "blue").flush();
    std::ofstream(folder / "green").flush();
    struct stat green {};
    ASSERT_EQ(::stat((folder / "green").c_str(), &green), 0);
    EXPECT_EQ(
        NamespaceName(green.st_ino, green.st_dev, "/system.slice/docker-ab.scope", folder.string()),
        "green");
    const std::uint64_t none = green.st_ino + 1000000;
    const std::pair<const char*, const char*> cases[] = {
        {"/system.slice/docker-0123456789abcdef0123.scope", "docker 0123456789ab"},
        {"/machine.slice/libpod-fedcba9876543210.scope/container", "podman fedcba987654"},
        {"/machine.slice/machine-web\\x2d1.scope/payload", "machine web\\x2d1"},
        {"/user.slice/docker-.scope", ""},
        {"/", ""},
    };
    for (const auto& [cgroup, name] : cases) {
        EXPECT_EQ(NamespaceName(none, green.st_dev, cgroup, folder.string()),
                  *name != '\0' ? std::string(name) : "net:[" + std::to_string(none) + "]")
            << cgroup;
    }
    std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace quarnel::platform
