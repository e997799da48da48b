#include "tests/engine/TestEngine.h"

namespace quarnel {
namespace {

using testing::Row;

std::optional<std::string> NoText(std::uint32_t) {
    return std::nullopt;
}
std::optional<std::string> LongText(std::uint32_t) {
    return std::string(40, '9');
}
std::optional<std::string> MustNotBeAsked(std::uint32_t) {
    ADD_FAILURE() << "the formatter was asked";
    return std::nullopt;
}

TEST(DisplayLine, ShowsEachKindOfRow) {
    const std::pair<platform::TcpRow, const char*> cases[] = {
        {Row(5, "192.0.2.5", 50123, "198.51.100.7", 443, 0),
         "50123 <--> 198.51.100.7:443 ESTABLISHED"},
        {Row(2, "192.0.2.5", 139, "0.0.0.0", 0, 0), "139 :192.0.2.5 LISTENING"},
        {Row(2, "0.0.0.0", 135, "0.0.0.0", 0, 0), "135 LISTENING"},
        {Row(5, "127.0.0.1", 1025, "127.0.0.1", 1026, 0), "1025 <--> 127.0.0.1:1026 ESTABLISHED"},
        {Row(11, "0.0.0.0", 65535, "255.0.10.200", 0, 0), "65535 TIME_WAIT"},
        {Row(13, "192.0.2.5", 80, "0.0.0.0", 0, 0), "80 :192.0.2.5 "},  // an empty name
        {Row(14, "192.0.2.5", 80, "0.0.0.0", 0, 0), "80 :192.0.2.5 "},  // no name at all
        {Row(-1, "0.0.0.0", 80, "0.0.0.0", 0, 0), "80 "},
    };
    for (const auto& [row, expected] : cases) {
        EXPECT_EQ(DisplayLine(row, RemoteAddressText(row)), expected);
    }
    EXPECT_EQ(TcpStateNames[12], "DELETE_TCB");
    EXPECT_EQ(TcpStateNames[0], "UNKNOWN");
}

TEST(GetIPString, FallsBackWhenTheSystemGivesNoText) {
    const auto row = Row(5, "192.0.2.5", 50123, "1.2.3.4", 443, 0);
    EXPECT_EQ(DisplayLine(row, RemoteAddressText(row, NoText), NoText),
              "50123 <--> Unable to get IP:443 ESTABLISHED");
    EXPECT_EQ(GetIPString(testing::Ip("1.2.3.4"), LongText), std::string(32, '9'));
    EXPECT_EQ(RemoteAddressText(Row(2, "0.0.0.0", 135, "0.0.0.0", 0, 0), MustNotBeAsked),
              "0.0.0.0");
}

}  // namespace
}  // namespace quarnel
