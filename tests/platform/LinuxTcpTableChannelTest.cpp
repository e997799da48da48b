// A read that fails part-way: a channel of the test's own stands between the table and the
// kernel and breaks the conversation where the test says.

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace quarnel::platform
