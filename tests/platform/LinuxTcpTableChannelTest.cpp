// Reads that fail part-way, and kernels that do not know the single-walk request: a channel of
// the test's own stands between the table and the kernel and breaks the conversation where the
// test says.

#include <gtest/gtest.h>
#include <libmnl/libmnl.h>
#include <linux/inet_diag.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

#include "platform/linux/LinuxTcpTable.h"
#include "platform/linux/SockDiagSocket.h"
#include "tests/platform/TableRows.h"
#include "tests/support/PrivateNetwork.h"
#include "tests/support/Sockets.h"

namespace quarnel::platform {
namespace {

using namespace quarnel::testsupport;

std::unique_ptr<SockDiagSocket> OpenSocket() {
    auto socket = SockDiagSocket::Open();
    EXPECT_TRUE(socket) << "cannot open a sock_diag socket: " << std::strerror(errno);
    return socket;
}

// Where a read breaks: the nth request of the read, and the mth datagram after it (0: the
// request itself).
struct FailurePoint {
    int request;
    int datagram;
};

// Passes everything to the kernel, except that it fails once at the point it is armed for, and
// that it can answer the single-walk request itself with an error, as a kernel without it does.
class ScriptedChannel final : public NetlinkChannel {
public:
    explicit ScriptedChannel(std::unique_ptr<SockDiagSocket> socket) : socket_(std::move(socket)) {}

    void FailAt(const FailurePoint& point) {
        point_ = point;
        requests_ = 0;
        datagrams_ = 0;
    }
    // 0: the kernel answers it.
    void RefuseSingleWalk(int error) { refusal_ = error; }

    int SingleWalkRequests() const { return singleWalkRequests_; }
    int FamilyRequests() const { return familyRequests_; }

    bool Send(const nlmsghdr& request) override {
        ++requests_;
        datagrams_ = 0;
        if (Hit()) {
            return false;
        }
        if (request.nlmsg_type != TCPDIAG_GETSOCK) {
            ++familyRequests_;
            return socket_->Send(request);
        }
        ++singleWalkRequests_;
        if (refusal_ == 0) {
            return socket_->Send(request);
        }
        refused_ = request;
        return true;
    }
    ssize_t Receive(void* buffer, std::size_t size) override {
        ++datagrams_;
        if (Hit()) {
            return -1;
        }
        if (refused_) {
            return PutRefusal(buffer);
        }
        return socket_->Receive(buffer, size);
    }
    std::uint32_t PortId() const override { return socket_->PortId(); }
    bool Reset() override {
        refused_.reset();
        return socket_->Reset();
    }

private:
    bool Hit() {
        if (!point_ || point_->request != requests_ || point_->datagram != datagrams_) {
            return false;
        }
        point_.reset();
        errno = EIO;
        return true;
    }

    ssize_t PutRefusal(void* buffer) {
        nlmsghdr* answer = mnl_nlmsg_put_header(buffer);
        answer->nlmsg_type = NLMSG_ERROR;
        answer->nlmsg_seq = refused_->nlmsg_seq;
        answer->nlmsg_pid = PortId();
        auto* error = static_cast<nlmsgerr*>(mnl_nlmsg_put_extra_header(answer, sizeof(nlmsgerr)));
        error->error = -refusal_;
        error->msg = *refused_;
        refused_.reset();
        return answer->nlmsg_len;
    }

    std::unique_ptr<SockDiagSocket> socket_;
    std::optional<FailurePoint> point_;
    int requests_ = 0;
    int datagrams_ = 0;
    int refusal_ = 0;
    std::optional<nlmsghdr> refused_;  // a request waiting for its refusal
    int singleWalkRequests_ = 0;
    int familyRequests_ = 0;
};

struct ChannelTable {
    ScriptedChannel* channel = nullptr;  // owned by table
    std::unique_ptr<LinuxTcpTable> table;
};

ChannelTable OpenChannelTable() {
    auto socket = OpenSocket();
    auto close = OpenSocket();
    if (!socket || !close) {
        return {};
    }
    auto channel = std::make_unique<ScriptedChannel>(std::move(socket));
    ScriptedChannel* raw = channel.get();
    return {raw, std::make_unique<LinuxTcpTable>(std::move(channel), std::move(close))};
}

std::vector<TcpRow> ByCookie(std::vector<TcpRow> rows) {
    std::sort(rows.begin(), rows.end(),
              [](const TcpRow& a, const TcpRow& b) { return a.Cookie < b.Cookie; });
    return rows;
}

struct FailureCase {
    const char* name;
    int refusal;  // of the single-walk request; 0: the kernel knows it
    FailurePoint point;
};

void PrintTo(const FailureCase& c, std::ostream* out) {
    *out << c.name;
}

class LinuxTcpTableFailedRead : public ::testing::TestWithParam<FailureCase> {};

TEST_P(LinuxTcpTableFailedRead, KeepsTheCallersRowsAndTheNextReadIsWhole) {
    RunInPrivateNetwork([] {
        auto [channel, table] = OpenChannelTable();
        ASSERT_TRUE(table);
        channel->RefuseSingleWalk(GetParam().refusal);

        // Enough rows for several datagrams, in both families.
        Listener listener = ListenIPv6Any(false);
        ASSERT_TRUE(listener.fd);
        std::vector<Connection> connections = ConnectMany(listener, 200, "127.0.0.1");
        ASSERT_EQ(connections.size(), 200u);
        std::vector<TcpRow> rows;
        ASSERT_TRUE(table->ReadTable(rows));
        const std::vector<TcpRow> before = rows;
        ASSERT_EQ(before.size(), 401u);
        for (Connection& c : ConnectMany(listener, 50, "127.0.0.1")) {
            connections.push_back(std::move(c));
        }

        channel->FailAt(GetParam().point);
        EXPECT_FALSE(table->ReadTable(rows));
        EXPECT_EQ(rows, before);

        // Whatever the broken read left queued must not spoil the next one.
        EXPECT_TRUE(table->ReadTable(rows));
        EXPECT_EQ(rows.size(), 501u);
    });
}

INSTANTIATE_TEST_SUITE_P(
    Points, LinuxTcpTableFailedRead,
    ::testing::Values(FailureCase{"Request", 0, {1, 0}}, FailureCase{"FirstDatagram", 0, {1, 1}},
                      FailureCase{"MiddleOfDump", 0, {1, 2}},
                      FailureCase{"FamilyByFamilyIPv6Request", EOPNOTSUPP, {2, 0}},
                      FailureCase{"FamilyByFamilyMiddleOfIPv6Dump", EOPNOTSUPP, {2, 2}}),
    [](const auto& info) { return info.param.name; });

// How the table takes the kernel's answer to the single-walk request, over two reads.
struct RefusalCase {
    const char* name;
    int error;  // 0: no refusal
    bool readsSucceed;
    int singleWalkRequests;
    int familyRequests;
};

void PrintTo(const RefusalCase& c, std::ostream* out) {
    *out << c.name;
}

class LinuxTcpTableRefusal : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(LinuxTcpTableRefusal, ReadsFamilyByFamilyOnlyOnAKernelWithoutTheSingleWalk) {
    RunInPrivateNetwork([] {
        const RefusalCase& param = GetParam();
        auto [channel, table] = OpenChannelTable();
        ASSERT_TRUE(table);
        Listener dual = ListenIPv6Any(false);
        Listener v4 = ListenIPv4();
        ASSERT_TRUE(dual.fd && v4.fd);
        Connection mapped = Connect(dual, "127.0.0.1");
        Connection plain = Connect(v4);
        ASSERT_TRUE(mapped.server && plain.server);
        auto reference = OpenTable();
        ASSERT_TRUE(reference);
        const std::vector<TcpRow> expected = ByCookie(ReadRows(*reference));
        ASSERT_EQ(expected.size(), 6u);

        channel->RefuseSingleWalk(param.error);
        const std::vector<TcpRow> kept = {
            Row(5, "127.0.0.9", 1, "127.0.0.9", 2, SocketFamily::IPv4, 1)};
        std::vector<TcpRow> rows = kept;
        for (int read = 1; read <= 2; ++read) {
            if (param.readsSucceed) {
                EXPECT_TRUE(table->ReadTable(rows)) << "read " << read;
                EXPECT_EQ(ByCookie(rows), expected) << "read " << read;
            } else {
                EXPECT_FALSE(table->ReadTable(rows)) << "read " << read;
                EXPECT_EQ(rows, kept) << "read " << read;
            }
        }
        EXPECT_EQ(channel->SingleWalkRequests(), param.singleWalkRequests);
        EXPECT_EQ(channel->FamilyRequests(), param.familyRequests);
    });
}

INSTANTIATE_TEST_SUITE_P(
    Answers, LinuxTcpTableRefusal,
    ::testing::Values(RefusalCase{"Answered", 0, true, 2, 0},
                      // No handler for the older request, or no such message type at all.
                      RefusalCase{"NotSupported", EOPNOTSUPP, true, 1, 4},
                      RefusalCase{"UnknownType", EINVAL, true, 1, 4},
                      // A passing shortage says nothing about the request: asked again.
                      RefusalCase{"OutOfMemory", ENOMEM, false, 2, 0}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace quarnel::platform
