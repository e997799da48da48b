#include <gtest/gtest.h>

#include "engine/ConnectionTable.h"
#include "tests/engine/Fakes.h"

namespace quarnel {
namespace {

using testing::Address;
using testing::Row;

struct DisplayCase {
    platform::TcpRow row;
    std::string expected;
};

TEST(DisplayLine, BuildsTheTextOfEachKindOfRow) {
    const std::uint32_t local = Address(192, 0, 2, 5);
    const std::uint32_t loopback = Address(127, 0, 0, 1);
    const DisplayCase cases[] = {
        {Row(5, local, 50123, Address(198, 51, 100, 7), 443),
         "50123 <--> 198.51.100.7:443 ESTABLISHED"},
        {Row(2, local, 139, 0, 0), "139 :192.0.2.5 LISTENING"},
        {Row(2, 0, 135, 0, 0), "135 LISTENING"},
        {Row(5, loopback, 1025, loopback, 1026), "1025 <--> 127.0.0.1:1026 ESTABLISHED"},
        {Row(13, local, 80, 0, 0), "80 :192.0.2.5 "},  // state 13 has an empty name
        {Row(14, local, 80, 0, 0), "80 :192.0.2.5 "},  // beyond the table: no name
        {Row(-1, 0, 80, 0, 0), "80 "},
        {Row(12, local, 65535, Address(10, 0, 0, 1), 0), "65535 <--> 10.0.0.1:0 DELETE_TCB"},
    };
    for (const DisplayCase& c : cases) {
        EXPECT_EQ(DisplayLine(c.row, RemoteAddressText(c.row)), c.expected);
    }
}

TEST(DisplayLine, StateNamesCoverEveryNumberOfTheTable) {
    const char* expected[] = {
        "UNKNOWN",   "CLOSED",     "LISTENING", "SYN_SENT", "SYN_RCVD",  "ESTABLISHED", "FIN_WAIT1",
        "FIN_WAIT2", "CLOSE_WAIT", "CLOSING",   "LAST_ACK", "TIME_WAIT", "DELETE_TCB",  ""};
    ASSERT_EQ(TcpStateNames.size(), 14u);
    for (std::size_t i = 0; i < TcpStateNames.size(); ++i) {
        EXPECT_EQ(TcpStateNames[i], expected[i]) << "state " << i;
    }
}

std::optional<std::string> NoText(std::uint32_t) {
    return std::nullopt;
}
std::optional<std::string> LongText(std::uint32_t) {
    return std::string(40, '9');
}
int FormatterCalls = 0;
std::optional<std::string> CountingFormatter(std::uint32_t address) {
    ++FormatterCalls;
    return FormatAddress(address);
}

TEST(GetIPString, FormatsFallsBackAndCuts) {
    EXPECT_EQ(GetIPString(Address(1, 2, 3, 4)), "1.2.3.4");
    EXPECT_EQ(GetIPString(Address(255, 0, 10, 200)), "255.0.10.200");
    EXPECT_EQ(GetIPString(Address(1, 2, 3, 4), NoText), "Unable to get IP");
    EXPECT_EQ(GetIPString(Address(1, 2, 3, 4), LongText), std::string(32, '9'));

    // The fallback stands where the address would.
    const platform::TcpRow row = Row(5, Address(192, 0, 2, 5), 50123, Address(1, 2, 3, 4), 443);
    EXPECT_EQ(DisplayLine(row, RemoteAddressText(row, NoText), NoText),
              "50123 <--> Unable to get IP:443 ESTABLISHED");
}

TEST(GetIPString, NoRemoteEndIsZerosWithoutAskingTheFormatter) {
    FormatterCalls = 0;
    EXPECT_EQ(RemoteAddressText(Row(2, 0, 135, 0, 0), CountingFormatter), "0.0.0.0");
    EXPECT_EQ(FormatterCalls, 0);
}

}  // namespace
}  // namespace quarnel
