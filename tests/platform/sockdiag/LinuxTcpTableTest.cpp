// The real TCP table in a private network namespace: what a close closes, whether this process
// may close, and reads that fail part-way or span many datagrams.

#include <gtest/gtest.h>
#include <net/if.h>
#include <sys/socket.h>

#include <cerrno>
#include <utility>

#include "platform/linux/sockdiag/SockDiagMessages.h"
#include "platform/linux/sockdiag/SockDiagSocket.h"
#include "tests/support/PrivateNetwork.h"
#include "tests/support/TableRows.h"
#include "tests/support/WaitUntil.h"

namespace quarnel::platform {
namespace {

using namespace quarnel::testsupport;

TEST(LinuxTcpTableClose, AbortsExactlyTheConnectionTheRowNames) {
    // The client end of a plain connection, or the server end of one accepted by a listener on
    // [::] (so its row carries mapped addresses) bound to the loopback device.
    for (const bool serverEnd : {false, true}) {
        RunInPrivateNetwork([serverEnd] {
            SCOPED_TRACE(serverEnd ? "mapped server end" : "client end");
            auto table = OpenTable();
            const Listener listener = serverEnd ? ListenIPv6Any() : ListenIPv4();
            // Its accepted ends are bound to the same device.
            ASSERT_TRUE(!serverEnd ||
                        ::setsockopt(listener.fd.Get(), SOL_SOCKET, SO_BINDTODEVICE, "lo", 3) == 0);
            const Connection doomed = Connect(listener), bystander = Connect(listener);
            ASSERT_TRUE(table && doomed.server && bystander.server);
            const int local = serverEnd ? listener.port : doomed.clientPort;
            const int remote = serverEnd ? doomed.clientPort : listener.port;
            const int closed = (serverEnd ? doomed.server : doomed.client).Get(),
                      other = (serverEnd ? doomed.client : doomed.server).Get();
            const std::optional<TcpRow> row = RowWithPorts(ReadRows(*table), local, remote);
            ASSERT_TRUE(row);
            // Its identity: the cookie, the remote end's address (a mapped IPv4 one on a socket
            // of the IPv6 family), the device it is bound to.
            EXPECT_EQ(row->Cookie, SocketCookie(closed));
            EXPECT_EQ(row->RemoteAddress, testsupport::Address("127.0.0.1"));
            EXPECT_EQ(row->Family, serverEnd ? SocketFamily::IPv6 : SocketFamily::IPv4);
            EXPECT_EQ(row->Interface, serverEnd ? ::if_nametoindex("lo") : 0u);
            // Rows that name it wrongly close nothing: a connection gone since whose ports a new
            // one took (only the cookie tells them apart), another remote end.
            TcpRow gone = *row, elsewhere = *row;
            ++gone.Cookie;
            elsewhere.RemotePort ^= 1;
            EXPECT_FALSE(table->CloseConnection(gone) || table->CloseConnection(elsewhere));
            // The permission question closes a listener of its own, and only that.
            EXPECT_EQ(table->CanCloseConnections(), CloseAbility::Allowed);

            EXPECT_TRUE(table->CloseConnection(*row));

            EXPECT_EQ(ReceiveError(closed), ECONNABORTED);
            ASSERT_TRUE(WaitUntil([&] { return ReceiveError(other) == ECONNRESET; }));
            EXPECT_TRUE(Carries(bystander, true));
            const std::vector<TcpRow> rows = ReadRows(*table);
            EXPECT_FALSE(RowWithPorts(rows, local, remote));
            EXPECT_EQ(rows.size(), 3u) << "the listener and both ends of the other connection";
        });
    }
}

// Passes everything to the kernel, except that it fails the second datagram answering the
// given request of a read (counted from 1), and that it can have the kernel refuse the
// single-walk request, as a kernel without it does.
class ScriptedChannel final : public NetlinkChannel {
public:
    ScriptedChannel(int failRequest, bool refuseOneWalk)
        : failRequest_(failRequest), refuseOneWalk_(refuseOneWalk) {}

    bool Send(const nlmsghdr& request) override {
        ++requests_;
        datagrams_ = 0;
        if (request.nlmsg_type != TCPDIAG_GETSOCK || !refuseOneWalk_) {
            return socket_->Send(request);
        }
        // Sent in its place: a dump of a family no kernel has, which it refuses with EINVAL.
        alignas(nlmsghdr) char refused[kDiagRequestSize];
        return socket_->Send(*PutFamilyDumpRequest(refused, 255, request.nlmsg_seq));
    }
    ssize_t Receive(void* buffer, std::size_t size) override {
        if (requests_ == failRequest_ && ++datagrams_ == 2) {
            errno = EIO;
            return -1;
        }
        return socket_->Receive(buffer, size);
    }
    std::uint32_t PortId() const override { return socket_->PortId(); }
    bool Reset() override { return socket_->Reset(); }

private:
    std::unique_ptr<SockDiagSocket> socket_ = SockDiagSocket::Open();
    const int failRequest_;
    const bool refuseOneWalk_;
    int requests_ = 0, datagrams_ = 0;
};

TEST(LinuxTcpTableFailure, AFailedReadKeepsTheCallersRowsAndSpoilsNoLaterRead) {
    // A dump cut in the middle; and on a kernel without the single walk, which is then read
    // family by family (requests 2 and 3: IPv4, then IPv6), the IPv6 dump cut.
    for (const auto& [failRequest, refuseOneWalk] : {std::pair{1, false}, std::pair{3, true}}) {
        RunInPrivateNetwork([&] {
            SCOPED_TRACE(refuseOneWalk ? "no single walk" : "single walk");
            // Enough rows for several datagrams, in both families: IPv4 clients, mapped servers.
            const Listener dual = ListenIPv6Any(false);
            const std::vector<Connection> mapped = ConnectMany(dual, 200, "127.0.0.1");
            auto reference = OpenTable();
            ASSERT_TRUE(mapped.size() == 200 && reference);
            const std::vector<TcpRow> expected = SortedByCookie(ReadRows(*reference));
            // The listener and both ends of each connection, each read once.
            EXPECT_EQ(expected.size(), 401u);
            LinuxTcpTable table(std::make_unique<ScriptedChannel>(failRequest, refuseOneWalk),
                                SockDiagSocket::Open());

            const std::vector<TcpRow> kept = {
                Row(TcpState::Established, "127.0.0.9", 1, "127.0.0.9", 2, 1)};
            std::vector<TcpRow> rows = kept;
            EXPECT_FALSE(table.ReadTable(rows));
            EXPECT_EQ(rows, kept);
            // A later read into the same rows replaces them.
            EXPECT_TRUE(table.ReadTable(rows) && table.ReadTable(rows));
            EXPECT_EQ(SortedByCookie(rows), expected);
        });
    }
}

}  // namespace
}  // namespace quarnel::platform
