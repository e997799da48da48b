// Reads that fail part-way, and kernels that refuse the single-walk request: a channel of the
// test's own stands between the table and the kernel and breaks the conversation where the
// test says.

#include <gtest/gtest.h>
#include <libmnl/libmnl.h>
#include <linux/inet_diag.h>

#include <cerrno>
#include <optional>

#include "platform/linux/LinuxTcpTable.h"
#include "platform/linux/SockDiagSocket.h"
#include "tests/platform/TableRows.h"
#include "tests/support/PrivateNetwork.h"
#include "tests/support/Sockets.h"

namespace quarnel::platform {
namespace {

using namespace quarnel::testsupport;

// Where a read breaks: at the mth datagram answering the nth request of the read.
struct FailurePoint {
    int request;
    int datagram;
};

// Passes everything to the kernel, except that it fails once at the point it is given, and
// that it answers the single-walk request itself with an error, as a kernel without it does.
class ScriptedChannel final : public NetlinkChannel {
public:
    ScriptedChannel(std::optional<FailurePoint> point, int refusal)
        : socket_(SockDiagSocket::Open()), point_(point), refusal_(refusal) {}

    bool Send(const nlmsghdr& request) override {
        ++requests_;
        datagrams_ = 0;
        if (request.nlmsg_type != TCPDIAG_GETSOCK || refusal_ == 0) {
            return socket_->Send(request);
        }
        refused_ = request;
        return true;
    }
    ssize_t Receive(void* buffer, std::size_t size) override {
        ++datagrams_;
        if (point_ && point_->request == requests_ && point_->datagram == datagrams_) {
            point_.reset();
            errno = EIO;
            return -1;
        }
        if (!refused_) {
            return socket_->Receive(buffer, size);
        }
        nlmsghdr* answer = mnl_nlmsg_put_header(buffer);
        answer->nlmsg_type = NLMSG_ERROR;
        answer->nlmsg_seq = refused_->nlmsg_seq;
        answer->nlmsg_pid = PortId();
        auto* error = static_cast<nlmsgerr*>(mnl_nlmsg_put_extra_header(answer, sizeof(nlmsgerr)));
        *error = {-refusal_, *refused_};
        refused_.reset();
        return answer->nlmsg_len;
    }
    std::uint32_t PortId() const override { return socket_->PortId(); }
    bool Reset() override {
        refused_.reset();
        return socket_->Reset();
    }

private:
    std::unique_ptr<SockDiagSocket> socket_;
    std::optional<FailurePoint> point_;
    int refusal_;  // of the single-walk request; 0: the kernel answers it
    int requests_ = 0;
    int datagrams_ = 0;
    std::optional<nlmsghdr> refused_;  // a request waiting for its refusal
};

TEST(LinuxTcpTableFailure, AFailedReadKeepsTheCallersRowsAndSpoilsNoLaterRead) {
    const struct {
        const char* name;
        std::optional<FailurePoint> point;
        int refusal;
        bool firstReads;   // whether the first read succeeds
        bool secondReads;  // and the one after it
    } cases[] = {
        {"cut in the middle of the dump", FailurePoint{1, 2}, 0, false, true},
        // No handler for the older request: read family by family from then on (requests 2
        // and 3: IPv4, then IPv6).
        {"no single walk", std::nullopt, EOPNOTSUPP, true, true},
        {"no single walk, IPv6 dump cut", FailurePoint{3, 2}, EOPNOTSUPP, false, true},
        // A passing shortage says nothing about the request: asked again.
        {"single walk short of memory", std::nullopt, ENOMEM, false, false},
    };
    for (const auto& param : cases) {
        RunInPrivateNetwork([&] {
            SCOPED_TRACE(param.name);
            // Enough rows for several datagrams, in both families.
            const Listener dual = ListenIPv6Any(false), v4 = ListenIPv4();
            const std::vector<Connection> mapped = ConnectMany(dual, 200, "127.0.0.1");
            const Connection plain = Connect(v4);
            ASSERT_TRUE(mapped.size() == 200 && plain.server);
            auto reference = OpenTable();
            ASSERT_TRUE(reference);
            const std::vector<TcpRow> expected = SortedByCookie(ReadRows(*reference));
            LinuxTcpTable table(std::make_unique<ScriptedChannel>(param.point, param.refusal),
                                SockDiagSocket::Open());

            const std::vector<TcpRow> kept = {
                Row(5, "127.0.0.9", 1, "127.0.0.9", 2, SocketFamily::IPv4, 1)};
            for (const bool reads : {param.firstReads, param.secondReads}) {
                std::vector<TcpRow> rows = kept;
                EXPECT_EQ(table.ReadTable(rows), reads);
                EXPECT_EQ(reads ? SortedByCookie(rows) : rows, reads ? expected : kept);
            }
        });
    }
}

}  // namespace
}  // namespace quarnel::platform
