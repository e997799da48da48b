// Decoding kernel answers that a test cannot easily make the kernel give: IPv6 sockets of every
// kind, cookies above 32 bits, states that pass too quickly to be seen.

#include "platform/linux/SockDiagMessages.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/sock_diag.h>

#include <array>
#include <cstring>
#include <optional>

#include "tests/platform/TableRows.h"
#include "tests/support/Sockets.h"

namespace quarnel::platform {
namespace {

using testsupport::RawIPv4;
using V6 = std::array<std::uint32_t, 4>;

V6 V4(const char* text) {
    return {RawIPv4(text), 0, 0, 0};
}
V6 Mapped(const char* text) {
    return {0, 0, htonl(0xffff), RawIPv4(text)};
}
V6 Pure(const char* text) {
    V6 address{};
    EXPECT_EQ(::inet_pton(AF_INET6, text, address.data()), 1) << text;
    return address;
}

constexpr std::uint64_t kCookie = 0x0123456789abcdefULL;

// One socket as the kernel describes it in a dump.
struct Answer {
    const char* name;
    std::uint8_t family;
    V6 local;
    V6 remote;
    std::uint8_t state;
    std::optional<std::uint8_t> v6Only;  // the INET_DIAG_SKV6ONLY attribute, when present
    std::size_t cut;                     // bytes missing at the end
    DecodeResult result;
    TcpRow row;  // when it is a row
};

void PrintTo(const Answer& answer, std::ostream* out) {
    *out << answer.name;
}

nlmsghdr* Put(const Answer& answer, void* buffer) {
    nlmsghdr* header = mnl_nlmsg_put_header(buffer);
    header->nlmsg_type = SOCK_DIAG_BY_FAMILY;
    auto* socket =
        static_cast<inet_diag_msg*>(mnl_nlmsg_put_extra_header(header, sizeof(inet_diag_msg)));
    socket->idiag_family = answer.family;
    socket->idiag_state = answer.state;
    std::memcpy(socket->id.idiag_src, answer.local.data(), sizeof socket->id.idiag_src);
    std::memcpy(socket->id.idiag_dst, answer.remote.data(), sizeof socket->id.idiag_dst);
    socket->id.idiag_sport = htons(50123);
    socket->id.idiag_dport = htons(443);
    socket->id.idiag_if = 7;
    socket->id.idiag_cookie[0] = static_cast<std::uint32_t>(kCookie);
    socket->id.idiag_cookie[1] = static_cast<std::uint32_t>(kCookie >> 32);
    if (answer.v6Only) {
        mnl_attr_put_u8(header, INET_DIAG_SKV6ONLY, *answer.v6Only);
    }
    header->nlmsg_len -= static_cast<std::uint32_t>(answer.cut);
    return header;
}

TcpRow Expected(std::int32_t state, const char* local, const char* remote, SocketFamily family) {
    TcpRow row = Row(state, local, 50123, remote, 443, family, kCookie);
    row.Interface = 7;
    return row;
}

class DecodeTcpRowTest : public ::testing::TestWithParam<Answer> {};

TEST_P(DecodeTcpRowTest, TurnsAnAnswerIntoARowOrNot) {
    const Answer& answer = GetParam();
    alignas(nlmsghdr) char buffer[512] = {};
    TcpRow row;
    ASSERT_EQ(DecodeTcpRow(*Put(answer, buffer), row), answer.result);
    if (answer.result == DecodeResult::Row) {
        EXPECT_EQ(row, answer.row);
    }
}

using linux_tcp::kEstablished;
using linux_tcp::kListen;
using R = DecodeResult;
constexpr auto kIPv4 = SocketFamily::IPv4;
constexpr auto kMapped = SocketFamily::MappedIPv6;

INSTANTIATE_TEST_SUITE_P(
    Sockets, DecodeTcpRowTest,
    ::testing::Values(
        Answer{"IPv4",
               AF_INET,
               V4("192.0.2.5"),
               V4("198.51.100.7"),
               kEstablished,
               {},
               0,
               R::Row,
               Expected(5, "192.0.2.5", "198.51.100.7", kIPv4)},
        Answer{"BothAddressesMapped",
               AF_INET6,
               Mapped("192.0.2.5"),
               Mapped("198.51.100.7"),
               kEstablished,
               {},
               0,
               R::Row,
               Expected(5, "192.0.2.5", "198.51.100.7", kMapped)},
        Answer{"DualStackListener", AF_INET6, Pure("::"), Pure("::"), kListen, 0, 0, R::Row,
               Expected(2, "0.0.0.0", "0.0.0.0", kMapped)},
        Answer{"ListenerOnMappedAddress", AF_INET6, Mapped("192.0.2.5"), Pure("::"), kListen, 0, 0,
               R::Row, Expected(2, "192.0.2.5", "0.0.0.0", kMapped)},
        Answer{"V6OnlyListener", AF_INET6, Pure("::"), Pure("::"), kListen, 1, 0, R::NotARow, {}},
        Answer{"UnspecifiedWithoutV6OnlyAnswer",
               AF_INET6,
               Pure("::"),
               Pure("::"),
               kListen,
               {},
               0,
               R::NotARow,
               {}},
        Answer{"PureIPv6", AF_INET6, Pure("::1"), Pure("::1"), kEstablished, {}, 0, R::NotARow, {}},
        Answer{"MappedToPureIPv6",
               AF_INET6,
               Mapped("192.0.2.5"),
               Pure("2001:db8::7"),
               kEstablished,
               {},
               0,
               R::NotARow,
               {}},
        Answer{"Truncated",
               AF_INET,
               V4("192.0.2.5"),
               V4("198.51.100.7"),
               kEstablished,
               {},
               8,
               R::Malformed,
               {}}),
    [](const auto& info) { return info.param.name; });

TEST(TableStateTest, NumbersTheStatesThatPassTooQuicklyToWatch) {
    struct Case {
        std::uint8_t linuxState;
        std::int32_t tableState;
    };
    for (const Case& c : {Case{linux_tcp::kSynRecv, 4}, Case{linux_tcp::kNewSynRecv, 4},
                          Case{linux_tcp::kFinWait1, 6}, Case{linux_tcp::kClosing, 9},
                          Case{linux_tcp::kLastAck, 10}, Case{linux_tcp::kClose, 1}, Case{13, 0}}) {
        EXPECT_EQ(TableState(c.linuxState), c.tableState) << "Linux state " << int{c.linuxState};
    }
}

}  // namespace
}  // namespace quarnel::platform
