// The table of every network namespace: the own rows first with their changes, the others'
// after them, kept from the reports the own source hands on and read whole only when those
// cannot tell, with only what changed or moved handed out; closes by namespace, namespaces that
// come and go; for real, a connection in another namespace seen and closed on the next read; and
// the names the log gives namespaces.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "platform/linux/events/EventTcpTable.h"
#include "platform/linux/namespaces/AllNamespacesTcpTable.h"
#include "platform/linux/namespaces/NamespaceNames.h"
#include "platform/linux/namespaces/NetnsNamespaces.h"
#include "platform/linux/sockdiag/LinuxTcpTable.h"
#include "tests/support/OtherNamespace.h"
#include "tests/support/PrivateNetwork.h"
#include "tests/support/Sockets.h"
#include "tests/support/WaitUntil.h"

namespace quarnel::platform {
namespace {

using namespace std::chrono_literals;
using namespace quarnel::testsupport;
using Clock = AllNamespacesTcpTable::Clock;
using Rows = std::vector<TcpRow>;

TcpRow Row(std::uint64_t cookie, std::uint32_t space = 0, TcpState state = TcpState::Established) {
    TcpRow row;
    row.State = state;
    row.LocalPort = 4000;
    row.Cookie = cookie;
    row.Namespace = space;
    return row;
}

// The own namespace's source: hands out its table as told, and its changes, and the other
// namespaces' reports.
struct OwnTable final : SourceDefaults<LinuxTableSource> {
    ReadResult Read(Rows& rows, TableChanges* changes) override {
        if (Next == ReadResult::Changed) {
            rows = Table;
            changes->Whole = Changed.empty();
            changes->Rows = Changed;
        }
        return Next;
    }
    bool TakeOtherNamespaces(Rows& rows) override {
        rows = std::exchange(Reports, {});
        return std::exchange(Complete, true);
    }
    void LookForHolders(const std::vector<SocketOwner>& /*sockets*/) override {}
    void TakeOwners(std::vector<SocketOwner>& owners) override { owners.clear(); }
    bool CloseConnection(const TcpRow& row) override { return Closed.push_back(row.Cookie), true; }
    CloseAbility CanCloseConnections() override { return CloseAbility::Allowed; }

    Rows Table;
    ReadResult Next = ReadResult::Changed;
    std::vector<std::size_t> Changed;  // empty: the whole table
    Rows Reports;
    bool Complete = true;
    std::vector<std::uint64_t> Closed;
};

// The other namespaces, each a list of rows the test changes; every whole read is counted.
struct Others final : OtherNamespaces {
    struct Table final : SourceDefaults<> {
        explicit Table(Others& others, std::uint32_t inode) : others(others), inode(inode) {
            ++others.Opens;
            others.MostOpen = std::max(others.MostOpen, ++others.OpenNow);
        }
        ~Table() override { --others.OpenNow; }
        Table(const Table&) = delete;
        Table& operator=(const Table&) = delete;
        ReadResult Read(Rows& rows, TableChanges* changes) override {
            ++others.Reads[inode];
            if (others.Now != nullptr) {
                *others.Now += others.ReadCost;
            }
            rows = others.Spaces[inode];
            for (TcpRow& row : rows) {
                row.Namespace = 0;  // as a table inside it tells them
            }
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
            namespaces.push_back({inode, "space " + std::to_string(inode), {}});
        }
        problem = "refused";
        return !Refuse;
    }
    std::unique_ptr<TcpTableSource> Open(std::uint32_t inode, std::string& problem) override {
        if (Unopenable.contains(inode)) {
            problem = "Too many open files";
            return nullptr;
        }
        return std::make_unique<Table>(*this, inode);
    }

    std::map<std::uint32_t, Rows> Spaces;
    bool Refuse = false;
    std::map<std::uint32_t, int> Reads;
    std::vector<std::pair<std::uint32_t, std::uint64_t>> Closed;
    Clock::time_point* Now = nullptr;  // moved on by ReadCost for each read
    Clock::duration ReadCost{};
    std::set<std::uint32_t> Unopenable;
    int Opens = 0, OpenNow = 0, MostOpen = 0;  // tables
};

// A connect's report before the kernel chose its port.
TcpRow Connecting(std::uint64_t cookie, std::uint32_t space) {
    TcpRow row = Row(cookie, space, TcpState::SynSent);
    row.LocalPort = 0;
    return row;
}

// The table of all namespaces over made-up sources, reported or not, with at most mostOpen
// tables open at once, on a clock of its own.
template <bool reported = true, std::size_t mostOpen = 512>
class AllNamespacesOf : public ::testing::Test {
protected:
    // Changed rows listed, or none listed and whole (else: only rows past the end went).
    void Read(ReadResult expected, std::vector<std::size_t> changed, bool whole = true) {
        changes = {true, {99}};
        EXPECT_EQ(all.Read(rows, &changes), expected);
        if (expected == ReadResult::Changed) {
            EXPECT_EQ(changes.Whole, whole && changed.empty());
            EXPECT_EQ(changes.Rows, changed);
        }
    }

    std::unique_ptr<OwnTable> ownTable = std::make_unique<OwnTable>();
    std::unique_ptr<Others> othersTable = std::make_unique<Others>();
    OwnTable& own = *ownTable;
    Others& others = *othersTable;
    Clock::time_point now{};
    AllNamespacesTcpTable all{
        std::move(ownTable), std::move(othersTable),
        AllNamespacesTcpTable::Options{
            .Reported = reported, .MostOpen = mostOpen, .Time = [this] { return now; }}};
    Rows rows;
    TableChanges changes;
};
using AllNamespaces = AllNamespacesOf<>;
using AllNamespacesUnreported = AllNamespacesOf<false>;
using AllNamespacesBounded = AllNamespacesOf<true, 2>;

TEST_F(AllNamespaces, TheOthersFollowTheirReportsAtOnceAndAreReadWholeOnlyWhenThoseCannotTell) {
    own.Table = {Row(1), Row(2)};
    others.Spaces[7] = {Row(70, 7)};
    others.Spaces[8] = {Row(80, 8)};
    Read(ReadResult::Changed, {});
    EXPECT_EQ(rows, (Rows{Row(1), Row(2), Row(70, 7), Row(80, 8)}));
    EXPECT_EQ(all.Guarded(), 3u);
    EXPECT_EQ(all.TakeNote()->Text, "guards the network namespace space 7");

    // A report shows in the read it came with; the reported namespace is read whole a while
    // later (not in the same read, whose rows go out first), the other one not at all.
    own.Next = ReadResult::Unchanged;
    others.Spaces[7] = {Row(70, 7), Row(71, 7), Row(72, 7, TcpState::TimeWait)};
    own.Reports = {Row(71, 7), Connecting(60, 7), Row(90, 9)};
    Read(ReadResult::Changed, {4}, false);
    EXPECT_EQ(rows, (Rows{Row(1), Row(2), Row(70, 7), Row(80, 8), Row(71, 7)}));
    EXPECT_EQ(all.NextReadIn(), 0ms);
    Read(ReadResult::Unchanged, {});
    EXPECT_EQ(all.NextReadIn(), 100ms);
    now += 100ms;
    Read(ReadResult::Changed, {5}, false);  // the time-wait row no report told of
    EXPECT_EQ(rows.back(), Row(72, 7, TcpState::TimeWait));
    EXPECT_EQ(others.Reads, (std::map<std::uint32_t, int>{{7, 2}, {8, 1}}));
    // While it lists a row that ends unreported, it is read again every second.
    others.Spaces[7].pop_back();
    now += 1s;
    Read(ReadResult::Changed, {}, false);
    EXPECT_EQ(rows.size(), 5u);
    // A closed one's place goes to the last row.
    own.Reports = {Row(70, 7, TcpState::Closed)};
    others.Spaces[7] = {Row(71, 7)};
    Read(ReadResult::Changed, {2}, false);
    EXPECT_EQ(rows, (Rows{Row(1), Row(2), Row(71, 7), Row(80, 8)}));
    now += 100ms;
    Read(ReadResult::Unchanged, {});
    Read(ReadResult::Unchanged, {});
    // Without reports a namespace is read again only after a long while.
    others.Spaces[8].push_back(Row(81, 8));
    now += 18s;
    Read(ReadResult::Unchanged, {});
    EXPECT_EQ(others.Reads, (std::map<std::uint32_t, int>{{7, 4}, {8, 1}}));
    now += 1s;
    Read(ReadResult::Changed, {4}, false);
    EXPECT_EQ(rows.back(), Row(81, 8));
    // Lost reports: each namespace is read whole, right after the rows of this read went out.
    own.Complete = false;
    others.Spaces[7].push_back(Row(73, 7));
    Read(ReadResult::Unchanged, {});
    Read(ReadResult::Changed, {5}, false);
    EXPECT_EQ(others.Reads, (std::map<std::uint32_t, int>{{7, 5}, {8, 3}}));
}

// A read inside a namespace walks every socket of the machine: those that are due only after
// their reports come one at a time, each 99 times the length of the one before after it, the
// longest due first; new ones are read at once.
TEST_F(AllNamespaces, WholeReadsThatAreNoMustTakeAHundredthOfTheTime) {
    others.Now = &now;
    others.ReadCost = 1ms;
    others.Spaces[7] = {Row(70, 7)};
    others.Spaces[8] = {Row(80, 8)};
    Read(ReadResult::Changed, {});
    EXPECT_EQ(others.Reads, (std::map<std::uint32_t, int>{{7, 1}, {8, 1}}));
    own.Next = ReadResult::Unchanged;
    own.Reports = {Row(81, 8), Row(71, 7)};
    Read(ReadResult::Changed, {2, 3}, false);
    others.Spaces[7].push_back(Row(71, 7));
    others.Spaces[8].push_back(Row(81, 8));
    now += 100ms;
    Read(ReadResult::Unchanged, {});
    EXPECT_EQ(others.Reads, (std::map<std::uint32_t, int>{{7, 2}, {8, 1}}));
    EXPECT_EQ(all.NextReadIn(), 99ms);
    now += 98ms;
    Read(ReadResult::Unchanged, {});
    EXPECT_EQ(others.Reads[8], 1);
    now += 1ms;
    Read(ReadResult::Unchanged, {});
    EXPECT_EQ(others.Reads, (std::map<std::uint32_t, int>{{7, 2}, {8, 2}}));
}

TEST_F(AllNamespaces, OwnRowsThatComeAndGoMoveOnlyAsManyOfTheOthers) {
    own.Table = {Row(1), Row(2)};
    others.Spaces[7] = {Row(70, 7), Row(71, 7), Row(72, 7)};
    Read(ReadResult::Changed, {});
    own.Table = {Row(1), Row(3), Row(2)};
    own.Changed = {1, 2};
    Read(ReadResult::Changed, {1, 2, 5});
    EXPECT_EQ(rows, (Rows{Row(1), Row(3), Row(2), Row(71, 7), Row(72, 7), Row(70, 7)}));
    own.Table = {Row(1), Row(2)};
    own.Changed = {1};
    Read(ReadResult::Changed, {1, 2});
    EXPECT_EQ(rows, (Rows{Row(1), Row(2), Row(70, 7), Row(71, 7), Row(72, 7)}));
    // More own rows than others: the others move in order.
    own.Table = {Row(1), Row(2), Row(3), Row(4), Row(5), Row(6)};
    own.Changed = {2, 3, 4, 5};
    Read(ReadResult::Changed, {2, 3, 4, 5, 6, 7, 8});
    EXPECT_EQ(rows, (Rows{Row(1), Row(2), Row(3), Row(4), Row(5), Row(6), Row(70, 7), Row(71, 7),
                          Row(72, 7)}));
    // The others seen through a failed own read go out with the next one.
    own.Next = ReadResult::Failed;
    own.Reports = {Row(73, 7)};
    Read(ReadResult::Failed, {});
    EXPECT_EQ(rows.size(), 9u);
    own.Next = ReadResult::Unchanged;
    Read(ReadResult::Changed, {9}, false);
    EXPECT_EQ(rows.back(), Row(73, 7));
    // A read without changes gets the whole table.
    Rows whole;
    EXPECT_TRUE(all.ReadTable(whole));
    EXPECT_EQ(whole, rows);
}

// Over an own source that hands on no reports (the kernel's are not to be had), each namespace
// is read whole every ReadEvery.
TEST_F(AllNamespacesUnreported, ReadsEachNamespaceWholeEveryReadEvery) {
    others.Spaces[7] = {Row(70, 7)};
    ASSERT_TRUE(all.ReadTable(rows));
    others.Spaces[7].push_back(Row(71, 7));
    now += 99ms;
    ASSERT_TRUE(all.ReadTable(rows));
    EXPECT_EQ(rows.size(), 1u);
    now += 1ms;
    ASSERT_TRUE(all.ReadTable(rows));
    EXPECT_EQ(rows, (Rows{Row(70, 7), Row(71, 7)}));
    EXPECT_EQ(others.Reads[7], 2);
}

TEST_F(AllNamespaces, ClosesByNamespaceAndNamespacesComeAndGo) {
    own.Table = {Row(1), Row(2)};
    others.Spaces[7] = {Row(70, 7)};
    Read(ReadResult::Changed, {});
    // Each close goes to the row's namespace; one of a namespace not guarded goes nowhere.
    EXPECT_TRUE(all.CloseConnection(rows[2]));
    EXPECT_TRUE(all.CloseConnection(rows[0]));
    EXPECT_FALSE(all.CloseConnection(Row(90, 9)));
    EXPECT_EQ(others.Closed, (std::vector<std::pair<std::uint32_t, std::uint64_t>>{{7, 70}}));
    EXPECT_EQ(own.Closed, std::vector<std::uint64_t>{1});

    // A listing that fails keeps what is guarded; a namespace gone leaves nothing behind.
    (void)all.TakeNote();
    now += 1s;
    others.Refuse = true;
    own.Next = ReadResult::Unchanged;
    Read(ReadResult::Unchanged, {});
    EXPECT_TRUE(all.TakeNote()->Problem);
    EXPECT_EQ(all.Guarded(), 2u);
    now += 1s;
    others.Refuse = false;
    others.Spaces.erase(7);
    others.Spaces[8] = {Row(80, 8), Row(81, 8)};
    Read(ReadResult::Changed, {2, 3}, false);
    EXPECT_EQ(rows, (Rows{Row(1), Row(2), Row(80, 8), Row(81, 8)}));
    EXPECT_EQ(all.NameOf(8), "space 8");
    EXPECT_EQ(all.NameOf(7), "net:[7]");
    now += 1s;
    others.Spaces.clear();
    Read(ReadResult::Changed, {}, false);
    EXPECT_EQ(rows.size(), 2u);
    EXPECT_EQ(all.Guarded(), 1u);
}

// Anyone may make namespaces: no more tables are open at once than allowed. Each namespace is
// still read whole when it must be, and closes in, its table opened in place of the one used
// longest ago; its rows follow its reports meanwhile. One that cannot be opened is told once
// with the reason, and is guarded once it can be.
TEST_F(AllNamespacesBounded, OpenNoMoreTablesAtOnceThanAllowedAndEachWhenNeeded) {
    for (std::uint32_t inode = 1; inode <= 6; ++inode) {
        others.Spaces[inode] = {Row(inode * 10, inode)};
    }
    others.Unopenable = {6};
    ASSERT_EQ(all.Read(rows, nullptr), ReadResult::Changed);
    EXPECT_EQ(rows.size(), 5u);
    EXPECT_EQ(all.Guarded(), 6u);
    EXPECT_LE(all.Open(), 2u);
    EXPECT_EQ(others.MostOpen, 2);
    std::vector<std::string> told;
    while (const auto note = all.TakeNote()) {
        told.push_back(note->Text);
    }
    EXPECT_EQ(std::ranges::count(told,
                                 "cannot guard the network namespace space 6: Too many "
                                 "open files"),
              1);
    EXPECT_EQ(std::ranges::count_if(told,
                                    [](const std::string& text) {
                                        return text.starts_with("guards the network namespace");
                                    }),
              5);

    // A close in the namespace read first, whose table was closed since, opens it again.
    const int opens = others.Opens;
    EXPECT_TRUE(all.CloseConnection(Row(10, 1)));
    EXPECT_EQ(others.Closed, (std::vector<std::pair<std::uint32_t, std::uint64_t>>{{1, 10}}));
    EXPECT_EQ(others.Opens, opens + 1);
    // Used last, it stays open for the next close.
    EXPECT_TRUE(all.CloseConnection(Row(10, 1)));
    EXPECT_EQ(others.Opens, opens + 1);

    // A report of a namespace whose table is closed changes its rows all the same; its next
    // read comes at its time, through a table opened for it.
    own.Next = ReadResult::Unchanged;
    own.Reports = {Row(21, 2)};
    others.Spaces[2].push_back(Row(21, 2));
    ASSERT_EQ(all.Read(rows, nullptr), ReadResult::Changed);
    EXPECT_EQ(rows.size(), 6u);
    for (int i = 0; i < 300; ++i) {
        now += 100ms;
        (void)all.Read(rows, nullptr);
    }
    for (std::uint32_t inode = 1; inode <= 5; ++inode) {
        EXPECT_GE(others.Reads[inode], 2) << inode;
    }
    EXPECT_EQ(others.MostOpen, 2);
    EXPECT_FALSE(all.TakeNote().has_value());  // space 6 told once, though tried every listing
    others.Unopenable.clear();
    now += 1s;
    (void)all.Read(rows, nullptr);
    EXPECT_EQ(all.Guarded(), 7u);
    EXPECT_EQ(rows.size(), 7u);
    EXPECT_EQ(others.MostOpen, 2);
}

// The namespaces quarnel-netns lists, each whole read of one counted.
struct CountedNamespaces final : OtherNamespaces {
    struct Table final : Forwarding<> {
        Table(std::unique_ptr<TcpTableSource> table, int& reads)
            : Forwarding(std::move(table)), reads(reads) {}
        ReadResult Read(Rows& rows, TableChanges* changes) override {
            ++reads;
            return Forwarding::Read(rows, changes);
        }
        int& reads;
    };
    explicit CountedNamespaces(std::unique_ptr<OtherNamespaces> listed)
        : listed(std::move(listed)) {}
    bool List(std::vector<ListedNamespace>& namespaces, std::string& problem) override {
        return listed->List(namespaces, problem);
    }
    std::unique_ptr<TcpTableSource> Open(std::uint32_t inode, std::string& problem) override {
        std::unique_ptr<TcpTableSource> table = listed->Open(inode, problem);
        return table ? std::make_unique<Table>(std::move(table), Reads[inode]) : nullptr;
    }
    std::unique_ptr<OtherNamespaces> listed;
    std::map<std::uint32_t, int> Reads;
};

// For real, in namespaces of the test's cgroup: a connection made in another namespace shows on
// the next read (the clock stands still, and that namespace is not read whole for it) and closes
// there, while the kernel's reports for a source kept to its own namespace say nothing of it; a
// namespace where nothing happens is not read again.
TEST(AllNamespacesInTheKernel,
     AConnectionElsewhereShowsOnTheNextReadAndAQuietNamespaceIsLeftAlone) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "quarnel-netns needs real root";
    }
    RunInPrivateNetwork([] {
        std::string problem;
        std::unique_ptr<NamespaceOpener> opener =
            NamespaceOpener::Start(QUARNEL_NETNS_PATH, problem);
        ASSERT_TRUE(opener) << problem;
        const OtherNamespace busy, quiet;
        PollingCause polling;
        std::unique_ptr<LinuxTableSource> own =
            WithKernelEvents(LinuxTcpTable::Open(), polling, NamespaceScope::Every);
        if (polling.Why != PollingCause::Kind::None) {
            GTEST_SKIP() << "no kernel events here: " << polling.Text();
        }
        std::unique_ptr<LinuxTableSource> ownOnly =
            WithKernelEvents(LinuxTcpTable::Open(), polling, NamespaceScope::Own);
        ASSERT_EQ(polling.Why, PollingCause::Kind::None) << polling.Text();
        Rows ownRows;
        ASSERT_EQ(ownOnly->Read(ownRows, nullptr), ReadResult::Changed);
        auto counted = std::make_unique<CountedNamespaces>(
            std::make_unique<NetnsNamespaces>(std::move(opener)));
        CountedNamespaces& reads = *counted;
        Clock::time_point now = Clock::now();
        AllNamespacesTcpTable all(std::move(own), std::move(counted),
                                  {.Time = [&now] { return now; }});
        Rows rows;
        TableChanges changes;
        ASSERT_EQ(all.Read(rows, &changes), ReadResult::Changed);
        ASSERT_EQ(all.Guarded(), 3u);
        EXPECT_EQ(reads.Reads, (std::map<std::uint32_t, int>{{busy.Inode, 1}, {quiet.Inode, 1}}));

        Listener listener;
        Connection blocked;
        std::uint64_t cookie = 0;
        busy.Inside([&] {
            listener = ListenIPv4("127.0.0.1", 4100);
            blocked = Connect(listener);
            cookie = SocketCookie(blocked.server.Get());
        });
        ASSERT_TRUE(blocked.server && cookie != 0);
        ASSERT_EQ(all.Read(rows, &changes), ReadResult::Changed);
        EXPECT_EQ(reads.Reads[busy.Inode], 1);
        // Both programs were told of the connection as it was made; the own one only if it lets
        // other namespaces through.
        (void)ownOnly->Read(ownRows, nullptr);
        Rows handedOn;
        EXPECT_TRUE(ownOnly->TakeOtherNamespaces(handedOn));
        EXPECT_EQ(handedOn.size(), 0u) << "the own namespace's reports hold another's";
        const auto found = std::ranges::find_if(rows, [&](const TcpRow& row) {
            return row.Namespace == busy.Inode && row.Cookie == cookie;
        });
        ASSERT_NE(found, rows.end());
        EXPECT_EQ(found->State, TcpState::Established);
        EXPECT_EQ(found->LocalPort, 4100);
        ASSERT_FALSE(changes.Whole);
        EXPECT_TRUE(std::ranges::binary_search(changes.Rows,
                                               static_cast<std::size_t>(found - rows.begin())));
        EXPECT_TRUE(all.CloseConnection(*found));
        ASSERT_TRUE(WaitUntil([&] { return Aborted(blocked.server); }));

        // Five seconds on: the busy namespace was read again after its reports, the quiet one not.
        for (int i = 0; i < 50; ++i) {
            now += 100ms;
            (void)all.Read(rows, &changes);
        }
        EXPECT_GE(reads.Reads[busy.Inode], 2);
        EXPECT_EQ(reads.Reads[quiet.Inode], 1);
        EXPECT_FALSE(
            std::ranges::any_of(rows, [&](const TcpRow& row) { return row.Cookie == cookie; }));
    });
}

// A container's name from the cgroup path, whatever the runtime's layout; else the ip netns
// name (a file of the folder that is the namespace: its inode on its device); else the inode.
TEST(NamespaceNames, NameTheContainerThenTheBindMountThenTheInode) {
    const std::filesystem::path folder = std::filesystem::temp_directory_path() /
                                         ("quarnel-netns-names-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    std::ofstream(folder / "blue").flush();
    std::ofstream(folder / "netns-5750c6f1").flush();
    struct stat bound {};
    ASSERT_EQ(::stat((folder / "netns-5750c6f1").c_str(), &bound), 0);
    const std::string id = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
    const std::string uid = "6f1e2d3c-0000-4a5b-8c9d-0123456789ab";
    std::string underscored = uid;
    std::ranges::replace(underscored, '-', '_');
    struct Case {
        std::string Cgroup, Name;
        Container Expected;
    };
    const Case cases[] = {
        // podman: systemd's manager, rootless under the user's manager, cgroupfs'.
        {"/machine.slice/libpod-" + id + ".scope/container",
         "podman 0123456789ab",
         {"podman", id, {}}},
        {"/user.slice/user-1000.slice/user@1000.service/user.slice/libpod-" + id + ".scope",
         "podman 0123456789ab",
         {"podman", id, {}}},
        {"/libpod_parent/libpod-" + id, "podman 0123456789ab", {"podman", id, {}}},
        {"/machine.slice/libpod-conmon-" + id + ".scope", "", {}},
        // Docker: systemd's driver, cgroupfs'.
        {"/system.slice/docker-" + id + ".scope", "docker 0123456789ab", {"docker", id, {}}},
        {"/docker/" + id, "docker 0123456789ab", {"docker", id, {}}},
        // Kubernetes: containerd and CRI-O under systemd's driver, a container under cgroupfs'.
        {"/kubepods.slice/kubepods-besteffort.slice/kubepods-besteffort-pod" + underscored +
             ".slice/cri-containerd-" + id + ".scope",
         "containerd 0123456789ab of pod " + uid,
         {"containerd", id, uid}},
        {"/kubepods.slice/kubepods-pod" + underscored + ".slice/crio-" + id + ".scope",
         "cri-o 0123456789ab of pod " + uid,
         {"cri-o", id, uid}},
        {"/kubepods/burstable/pod" + uid + "/" + id,
         "containerd 0123456789ab of pod " + uid,
         {"containerd", id, uid}},
        // LXC (4 and older), systemd-nspawn (its name unescaped).
        {"/lxc.payload.web/init.scope", "lxc web", {"lxc", "web", {}}},
        {"/lxc/web", "lxc web", {"lxc", "web", {}}},
        {"/lxc.monitor.web", "", {}},
        {"/machine.slice/machine-web\\x2d1.scope/payload",
         "machine web-1",
         {"nspawn", "web-1", {}}},
        // Nothing of a container: an empty id, a short one, the root.
        {"/user.slice/docker-.scope", "", {}},
        {"/docker/abc", "", {}},
        {"/", "", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Cgroup);
        const std::optional<Container> found = ContainerOf(c.Cgroup);
        EXPECT_EQ(found.value_or(Container{}), c.Expected);
        // The container wins over podman's own bind mount of its namespace.
        EXPECT_EQ(NamespaceName(bound.st_ino, bound.st_dev, c.Cgroup, folder.string()),
                  c.Name.empty() ? "netns-5750c6f1" : c.Name);
    }
    // The inode of a file in the folder, but on another device: some other namespace.
    EXPECT_EQ(NamespaceName(bound.st_ino, bound.st_dev + 1, "/", folder.string()),
              "net:[" + std::to_string(bound.st_ino) + "]");
    std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace quarnel::platform
