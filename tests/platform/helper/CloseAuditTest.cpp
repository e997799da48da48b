// The helper's audit of the closes it performs: who asked, as the kernel vouches for it, and
// the entry the system journal gets; only a close performed is audited.

#include "platform/linux/helper/CloseAudit.h"

#include <pwd.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/platform/helper/Conversation.h"

namespace quarnel::platform {
namespace {

using testsupport::Row;

// The requester is the process at the other end of the socket, with its user's name; the entry
// writes addresses as quarneld does, a dual-stack socket's IPv4 connection as IPv4.
TEST(CloseAudit, NamesTheRequestingUserAndTheConnectionAsTheServiceDoes) {
    SocketPair pair;
    ASSERT_TRUE(pair.made);
    Requester requester;
    std::string problem;
    ASSERT_TRUE(RequesterOf(pair.helper.Get(), requester, problem)) << problem;
    EXPECT_EQ(requester.Uid, ::getuid());
    EXPECT_EQ(requester.Pid, ::getpid());
    const passwd* user = ::getpwuid(::getuid());
    EXPECT_EQ(requester.Name, user != nullptr ? user->pw_name : std::to_string(::getuid()));
    Requester unknown;
    EXPECT_FALSE(RequesterOf(-1, unknown, problem));
    EXPECT_FALSE(problem.empty());

    const Requester alice{1000, 4242, "alice"};
    EXPECT_EQ(CloseAuditFields(
                  Row(TcpState::Established, "fd00:89::10", 37222, "fd00:89::20", 9090), alice),
              (std::vector<std::string>{
                  "MESSAGE=closed IPv6 [fd00:89::10]:37222 -> [fd00:89::20]:9090 at the request "
                  "of alice (uid 1000, pid 4242)",
                  "PRIORITY=5", "MESSAGE_ID=791490d90f664ab9a4de19bf7681fc69",
                  "SYSLOG_IDENTIFIER=quarnel-helper", "QUARNEL_FAMILY=IPv6",
                  "QUARNEL_LOCAL=[fd00:89::10]:37222", "QUARNEL_REMOTE=[fd00:89::20]:9090",
                  "QUARNEL_REQUESTER_UID=1000", "QUARNEL_REQUESTER_USER=alice",
                  "QUARNEL_REQUESTER_PID=4242"}));
    const std::vector<std::string> mapped =
        CloseAuditFields(Row(TcpState::Established, "::ffff:10.89.0.20", 9090, "::ffff:10.89.0.5",
                             40000, 0, SocketFamily::IPv6),
                         alice);
    EXPECT_EQ(mapped[0],
              "MESSAGE=closed IPv4 10.89.0.20:9090 -> 10.89.0.5:40000 at the request of alice "
              "(uid 1000, pid 4242)");
    EXPECT_EQ(mapped[4], "QUARNEL_FAMILY=IPv4");
    EXPECT_EQ(mapped[5], "QUARNEL_LOCAL=10.89.0.20:9090");
}

// A close the helper performs is audited once; one of a socket gone already, or of a listener
// it refuses, is not.
TEST(CloseAudit, AuditsEveryCloseThatTheHelperPerformsAndNoOther) {
    using Found = SocketLookup::Found;
    SocketPair pair;
    ASSERT_TRUE(pair.made);
    FakeTable table;
    char* logged = nullptr;
    std::size_t loggedSize = 0;
    std::FILE* log = ::open_memstream(&logged, &loggedSize);
    std::vector<TcpRow> audited;
    {
        HelperServer server(pair.helper.Get(), table, table, log);
        server.AuditClosesTo([&](const TcpRow& row) { audited.push_back(row); });
        const TcpRow named = ManyRows(2)[1];
        RequestBytes request;
        ASSERT_TRUE(EncodeRequest({RequestKind::CloseConnection, 9, named}, request));
        const struct {
            Found found;
            TcpState state;
            std::size_t audited;
        } cases[] = {
            {Found::Socket, TcpState::Established, 1}, {Found::NoSocket, TcpState::Established, 1},
            {Found::Socket, TcpState::Listening, 1},   {Found::Failed, TcpState::Established, 1},
            {Found::Socket, TcpState::CloseWait, 2},
        };
        for (const auto& c : cases) {
            table.found = c.found;
            table.socketState = c.state;
            ASSERT_EQ(::send(pair.program.Get(), request.data(), request.size(), 0),
                      std::ssize(request));
            (void)server.ServeOne();
            std::array<std::uint8_t, kMaxReplySize> reply{};
            ASSERT_GT(::recv(pair.program.Get(), reply.data(), reply.size(), 0), 0);
            EXPECT_EQ(audited.size(), c.audited);
        }
        ASSERT_EQ(audited.size(), 2U);
        EXPECT_EQ(audited[0].Cookie, named.Cookie);
        EXPECT_EQ(audited[0].LocalPort, named.LocalPort);
    }
    std::fclose(log);
    std::free(logged);
}

}  // namespace
}  // namespace quarnel::platform
