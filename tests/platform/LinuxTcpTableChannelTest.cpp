// What the table does when its netlink conversation fails or answers unexpectedly: channels of
// the test's own stand between the table and the kernel.

#include <gtest/gtest.h>
#include <libmnl/libmnl.h>

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
    const char* name;
    int request;
    int datagram;
};

void PrintTo(const FailurePoint& point, std::ostream* out) {
    *out << point.name;
}

// Passes everything to the kernel, except that it fails once at the point it is armed for.
class FailingChannel final : public NetlinkChannel {
public:
    explicit FailingChannel(std::unique_ptr<SockDiagSocket> socket) : socket_(std::move(socket)) {}

    void FailAt(const FailurePoint& point) {
        point_ = point;
        requests_ = 0;
        datagrams_ = 0;
    }

    bool Send(const nlmsghdr& request) override {
        ++requests_;
        datagrams_ = 0;
        if (Hit()) {
            return false;
        }
        return socket_->Send(request);
    }
    ssize_t Receive(void* buffer, std::size_t size) override {
        ++datagrams_;
        if (Hit()) {
            return -1;
        }
        return socket_->Receive(buffer, size);
    }
    std::uint32_t PortId() const override { return socket_->PortId(); }
    bool Reset() override { return socket_->Reset(); }

private:
    bool Hit() {
        if (!point_ || point_->request != requests_ || point_->datagram != datagrams_) {
            return false;
        }
        point_.reset();
        errno = EIO;
        return true;
    }

    std::unique_ptr<SockDiagSocket> socket_;
    std::optional<FailurePoint> point_;
    int requests_ = 0;
    int datagrams_ = 0;
};

class LinuxTcpTableFailedRead : public ::testing::TestWithParam<FailurePoint> {};

TEST_P(LinuxTcpTableFailedRead, KeepsTheCallersRowsAndTheNextReadIsWhole) {
    RunInPrivateNetwork([] {
        auto socket = OpenSocket();
        auto close = OpenSocket();
        ASSERT_TRUE(socket && close);
        auto channel = std::make_unique<FailingChannel>(std::move(socket));
        FailingChannel& failing = *channel;
        LinuxTcpTable table(std::move(channel), std::move(close));

        // Enough rows for several datagrams, in both families.
        Listener listener = ListenIPv6Any(false);
        ASSERT_TRUE(listener.fd);
        std::vector<Connection> connections = ConnectMany(listener, 200, "127.0.0.1");
        ASSERT_EQ(connections.size(), 200u);
        std::vector<TcpRow> rows;
        ASSERT_TRUE(table.ReadTable(rows));
        const std::vector<TcpRow> before = rows;
        ASSERT_EQ(before.size(), 401u);
        for (Connection& c : ConnectMany(listener, 50, "127.0.0.1")) {
            connections.push_back(std::move(c));
        }

        failing.FailAt(GetParam());
        EXPECT_FALSE(table.ReadTable(rows));
        EXPECT_EQ(rows, before);

        // Whatever the broken read left queued must not spoil the next one.
        EXPECT_TRUE(table.ReadTable(rows));
        EXPECT_EQ(rows.size(), 501u);
    });
}

INSTANTIATE_TEST_SUITE_P(Points, LinuxTcpTableFailedRead,
                         ::testing::Values(FailurePoint{"IPv4Request", 1, 0},
                                           FailurePoint{"FirstIPv4Datagram", 1, 1},
                                           FailurePoint{"MiddleOfIPv4Dump", 1, 2},
                                           FailurePoint{"IPv6Request", 2, 0},
                                           FailurePoint{"MiddleOfIPv6Dump", 2, 2}),
                         [](const auto& info) { return info.param.name; });

// Answers every destroy request the way the test says, as a kernel would.
class ScriptedCloseChannel final : public NetlinkChannel {
public:
    // error: the errno to answer with (0: closed); nullopt: no answer comes. staleFirst: an
    // answer to an earlier request arrives before the real one.
    ScriptedCloseChannel(std::optional<int> error, bool staleFirst)
        : error_(error), staleFirst_(staleFirst) {}

    bool Send(const nlmsghdr& request) override {
        sequence_ = request.nlmsg_seq;
        pending_ = staleFirst_ ? 2 : 1;
        return true;
    }
    ssize_t Receive(void* buffer, std::size_t size) override {
        if (!error_ || pending_ == 0 || size < 64) {
            errno = EIO;
            return -1;
        }
        const bool stale = pending_-- == 2;
        nlmsghdr* header = mnl_nlmsg_put_header(buffer);
        header->nlmsg_type = NLMSG_ERROR;
        header->nlmsg_seq = stale ? sequence_ - 1 : sequence_;
        auto* answer = static_cast<nlmsgerr*>(mnl_nlmsg_put_extra_header(header, sizeof(nlmsgerr)));
        answer->error = stale ? 0 : -*error_;
        return header->nlmsg_len;
    }
    std::uint32_t PortId() const override { return 1; }
    bool Reset() override { return true; }

private:
    std::optional<int> error_;
    bool staleFirst_;
    std::uint32_t sequence_ = 0;
    int pending_ = 0;
};

struct AnswerCase {
    const char* name;
    std::optional<int> error;
    bool staleFirst;
    CloseAbility ability;
};

void PrintTo(const AnswerCase& answer, std::ostream* out) {
    *out << answer.name;
}

class LinuxTcpTableAnswers : public ::testing::TestWithParam<AnswerCase> {};

TEST_P(LinuxTcpTableAnswers, DecideTheCloseResultAndTheAbility) {
    // The permission question opens a listener of its own: keep it off the machine's network.
    RunInPrivateNetwork([] {
        const AnswerCase& param = GetParam();
        auto dump = OpenSocket();
        ASSERT_TRUE(dump);
        LinuxTcpTable table(std::move(dump),
                            std::make_unique<ScriptedCloseChannel>(param.error, param.staleFirst));

        EXPECT_EQ(table.CanCloseConnections(), param.ability);
        EXPECT_EQ(table.CloseConnection(TcpRow{}), param.error == 0);
    });
}

INSTANTIATE_TEST_SUITE_P(
    Kernel, LinuxTcpTableAnswers,
    ::testing::Values(
        AnswerCase{"Closed", 0, false, CloseAbility::Allowed},
        AnswerCase{"ClosedAfterAStaleAnswer", 0, true, CloseAbility::Allowed},
        AnswerCase{"RefusedAfterAStaleSuccess", EPERM, true, CloseAbility::NoPermission},
        AnswerCase{"RefusedBySecurityModule", EACCES, false, CloseAbility::NoPermission},
        AnswerCase{"BuiltWithoutDestroy", EOPNOTSUPP, false, CloseAbility::NotSupported},
        AnswerCase{"OlderThanDestroy", EINVAL, false, CloseAbility::NotSupported},
        AnswerCase{"ProbeNotFound", ENOENT, false, CloseAbility::Unknown},
        AnswerCase{"NoAnswer", std::nullopt, false, CloseAbility::Unknown}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace quarnel::platform
