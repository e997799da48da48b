// Edits that lift a rule wait until no segment judged under the old rules can still be on its
// way: what is held in between, and two guarded namespaces with a rate-limited link between them
// for real.

#include "platform/linux/filter/EditHold.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/filter/CgroupRoot.h"
#include "platform/linux/filter/PayloadFilter.h"
#include "tests/support/OtherNamespace.h"
#include "tests/support/PrivateNetwork.h"
#include "tests/support/Sockets.h"

namespace quarnel::platform {
namespace {

using namespace testsupport;
using namespace std::chrono_literals;
using Clock = RulesFilter::Clock;

AddressPrefix Prefix(const char* text) {
    return ParseAddressEntry(text).Prefix;
}

TEST(EditHold, HoldsWhatEitherRuleSetBlocks) {
    const BlockingRules old{{Prefix("10.0.0.0/8"), Prefix("192.0.2.1")}, {{80, 80}}, {{5, 9}}};
    const BlockingRules next{
        {Prefix("10.1.0.0/16"), Prefix("198.51.100.0/24")}, {{81, 90}}, {{1, 4}, {20, 20}}};
    // Ranges that touch join; an address both allow only within the narrower prefix.
    EXPECT_EQ(BlockedByEither(old, next),
              (BlockingRules{{Prefix("10.1.0.0/16")}, {{80, 90}}, {{1, 9}, {20, 20}}}));
    EXPECT_EQ(BlockedByEither(next, old), BlockedByEither(old, next));
    EXPECT_EQ(BlockedByEither(old, old), old);
}

// Records what it is given; refuses while refusing is set.
struct Recorder final : RulesFilter {
    bool SetRules(const BlockingRules& rules, FilterCause& why) override {
        why = refusing ? FilterCause{FilterCause::Kind::Rejected, 1} : FilterCause{};
        written.push_back(rules);
        return !refusing;
    }
    std::vector<BlockingRules> written;
    bool refusing = false;
};

TEST(EditHold, LiftsOnlyAfterTheHoldAndWidensAtOnce) {
    auto owned = std::make_unique<Recorder>();
    Recorder& filter = *owned;
    Clock::time_point now{};
    EditHold hold(std::move(owned), 1s, [&] { return now; });
    FilterCause why;
    const BlockingRules local{{}, {{80, 80}}, {}}, remote{{}, {}, {{80, 80}}},
        both{{}, {{80, 80}}, {{80, 80}}}, none{};

    ASSERT_TRUE(hold.SetRules(local, why));
    EXPECT_FALSE(hold.SettleAt());
    // The port moves: both lists block it until the hold has passed, then the new one alone.
    ASSERT_TRUE(hold.SetRules(remote, why));
    EXPECT_EQ(filter.written.back(), both);
    now += 999ms;
    EXPECT_FALSE(hold.Settle(now, why));
    // A further edit meanwhile holds everything since the last whole rules, and waits anew.
    ASSERT_TRUE(hold.SetRules(none, why));
    EXPECT_EQ(filter.written.size(), 2u) << "nothing new to hold";
    now += 999ms;
    EXPECT_FALSE(hold.Settle(now, why));
    now += 1ms;
    EXPECT_TRUE(hold.Settle(now, why));
    EXPECT_EQ(filter.written.back(), none);
    EXPECT_FALSE(hold.SettleAt());

    // Adding goes in at once, even while a lift waits.
    ASSERT_TRUE(hold.SetRules(local, why));
    EXPECT_EQ(filter.written.back(), local);
    ASSERT_TRUE(hold.SetRules(none, why));
    ASSERT_TRUE(hold.SetRules(both, why));
    EXPECT_EQ(filter.written.back(), both);
    EXPECT_FALSE(hold.SettleAt());

    // A filter that failed holds nothing: the next rules go in whole, and a failed lift is told.
    filter.refusing = true;
    EXPECT_FALSE(hold.SetRules({{}, {{81, 81}}, {}}, why));
    filter.refusing = false;
    ASSERT_TRUE(hold.SetRules(remote, why));
    EXPECT_EQ(filter.written.back(), remote);
    ASSERT_TRUE(hold.SetRules(none, why));
    filter.refusing = true;
    now += 1s;
    EXPECT_TRUE(hold.Settle(now, why));
    EXPECT_EQ(why.Why, FilterCause::Kind::Rejected);
}

// Runs a shell command, failing the test when it fails.
void Shell(const std::string& command) {
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

// Connections between two namespaces joined by a veth whose ends queue what they send behind a
// token bucket, as the Kubernetes bandwidth plugin sets them up: one that fills both queues, and
// fresh ones to a port under the rules that send at once both ways, each segment waiting its
// turn behind the filler's.
class QueuedLink {
public:
    QueuedLink() {
        const std::string in[] = {"nsenter -t " + std::to_string(client_.pid) + " -n ",
                                  "nsenter -t " + std::to_string(server_.pid) + " -n "};
        Shell("ip link add qa netns " + std::to_string(client_.pid) +
              " type veth peer name qb netns " + std::to_string(server_.pid));
        const char* const ends[][2] = {{"qa", "10.99.0.1/24"}, {"qb", "10.99.0.2/24"}};
        for (int i = 0; i < 2; ++i) {
            Shell(in[i] + "ip addr add " + ends[i][1] + " dev " + ends[i][0]);
            Shell(in[i] + "ip link set " + ends[i][0] + " up");
            Shell(in[i] + "tc qdisc add dev " + ends[i][0] +
                  " root tbf rate 2mbit burst 16kb latency 300ms");
        }
        server_.Inside([&] {
            filled_ = ListenIPv4("10.99.0.2");
            probed_ = ListenIPv4("10.99.0.2");
        });
        EXPECT_EQ(::fcntl(probed_.fd.Get(), F_SETFL, O_NONBLOCK), 0);
        client_.Inside([&] { filler_ = Connect(filled_, "10.99.0.2"); });
    }
    ~QueuedLink() {
        stop_ = true;
        for (std::thread& thread : threads_) {
            thread.join();
        }
    }

    PortRange Port() const { return PortOf(probed_); }

    // Starts filling and probing: the bytes that reach a probe's end are counted.
    void Start() {
        threads_.emplace_back([this] { Fill(); });
        for (int i = 0; i < 4; ++i) {
            threads_.emplace_back([this] { client_.Inside([this] { Probe(); }); });
        }
    }
    std::uint64_t Crossed() const { return crossed_; }

private:
    void Fill() {
        const std::string bytes(16384, 'f');
        char sink[65536];
        while (!stop_) {
            for (const UniqueFd* end : {&filler_.client, &filler_.server}) {
                (void)::send(end->Get(), bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
                while (::recv(end->Get(), sink, sizeof sink, MSG_DONTWAIT) > 0) {
                }
            }
            Accept();
            ReadProbes();
            std::this_thread::sleep_for(2ms);
        }
    }
    // Connects again and again, sending at once; the filler's thread accepts and answers.
    void Probe() {
        const sockaddr_in to{AF_INET,
                             htons(static_cast<std::uint16_t>(probed_.port)),
                             {htonl(0x0a630002)},
                             {}};  // 10.99.0.2
        while (!stop_) {
            UniqueFd probe(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
            if (::connect(probe.Get(), reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
                return;
            }
            (void)::send(probe.Get(), kProbe.data(), kProbe.size(), MSG_NOSIGNAL);
            const std::lock_guard lock(probesMutex_);
            probes_.push_back(std::move(probe));
        }
    }
    void Accept() {
        while (UniqueFd end{::accept4(probed_.fd.Get(), nullptr, nullptr, SOCK_NONBLOCK)}) {
            (void)::send(end.Get(), kProbe.data(), kProbe.size(), MSG_NOSIGNAL);
            const std::lock_guard lock(probesMutex_);
            probes_.push_back(std::move(end));
        }
    }
    void ReadProbes() {
        char got[4096];
        const std::lock_guard lock(probesMutex_);
        for (const UniqueFd& end : probes_) {
            const ssize_t n = ::recv(end.Get(), got, sizeof got, MSG_DONTWAIT);
            crossed_ += n > 0 ? static_cast<std::uint64_t>(n) : 0;
        }
    }

    inline static const std::string kProbe = std::string(1000, 'p');
    const OtherNamespace client_, server_;
    Listener filled_, probed_;
    Connection filler_;
    std::mutex probesMutex_;
    std::vector<UniqueFd> probes_;  // both ends
    std::atomic<bool> stop_{false};
    std::atomic<std::uint64_t> crossed_{0};
    std::vector<std::thread> threads_;
};

// One filter guards both namespaces while the probes' port moves from the local list to the
// remote one and back: the old and the new rules both block the probes, each from one end, so
// not one byte may cross, though a segment sent under the old rules arrives under the new.
TEST(EditHold, APortMovedNeverLetsThroughASegmentQueuedBetweenNamespaces) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "attaching a kernel filter needs real root";
    }
    RunInPrivateNetwork([] {
        const std::string cgroup = FindCgroup2Root();
        if (cgroup.empty()) {
            GTEST_SKIP() << "no cgroup v2 hierarchy is mounted";
        }
        FilterCause why;
        std::unique_ptr<RulesFilter> attached =
            PayloadFilter::Attach(cgroup, why, NamespaceScope::Every);
        ASSERT_TRUE(attached) << why.Text();
        EditHold filter(std::move(attached));
        QueuedLink link;
        const BlockingRules local{{}, {link.Port()}, {}}, remote{{}, {}, {link.Port()}};
        ASSERT_TRUE(filter.SetRules(local, why)) << why.Text();
        link.Start();
        // As the service's loop does: an edit, then passes until the next, each move settled
        // for a while.
        for (int move = 0; move < 8; ++move) {
            ASSERT_TRUE(filter.SetRules(move % 2 == 0 ? remote : local, why)) << why.Text();
            for (const auto until = Clock::now() + EditHold::kHold + 500ms; Clock::now() < until;) {
                (void)filter.Settle(Clock::now(), why);
                std::this_thread::sleep_for(5ms);
            }
        }
        EXPECT_EQ(link.Crossed(), 0u);
    });
}

}  // namespace
}  // namespace quarnel::platform
