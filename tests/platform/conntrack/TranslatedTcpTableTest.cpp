// A host that publishes a port: its nft rule translates connections to port 18080 to a server in
// another namespace, reached over a veth. The server's rows carry the port the client addressed,
// the rules judge it beside the socket's own, and the row closes the connection; a connection to
// the server's own port is judged by that port alone.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "container/List.h"
#include "container/Value.h"
#include "engine/RuleSet.h"
#include "platform/linux/conntrack/TranslatedTcpTable.h"
#include "platform/linux/sockdiag/LinuxTcpTable.h"
#include "tests/support/OtherNamespace.h"
#include "tests/support/PrivateNetwork.h"
#include "tests/support/Sockets.h"
#include "tests/support/WaitUntil.h"

namespace quarnel::platform {
namespace {

using namespace quarnel::testsupport;

constexpr int kPublished = 18080;

List ListOf(std::initializer_list<const char*> items) {
    List list;
    for (const char* item : items) {
        (void)list.AddItem(std::string(item));
    }
    return list;
}

// The server's row of the connection, as the table over its namespace reads it.
TcpRow RowOf(TcpTableSource& table, const Connection& connection) {
    std::vector<TcpRow> rows;
    EXPECT_TRUE(table.ReadTable(rows));
    const auto row =
        std::ranges::find(rows, SocketCookie(connection.server.Get()), &TcpRow::Cookie);
    EXPECT_NE(row, rows.end()) << "no row of the server's end";
    return row != rows.end() ? *row : TcpRow{};
}

TEST(PublishedPort, JudgedByThePortTheClientAddressed) {
    if (std::system("nft --version >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "nft is not installed";
    }
    RunInPrivateNetwork([] {
        const OtherNamespace server;
        const std::string in = "nsenter -t " + std::to_string(server.pid) + " -n ";
        for (const std::string& command :
             {"ip link add pa type veth peer name pb netns " + std::to_string(server.pid),
              std::string("ip addr add 10.98.0.1/24 dev pa && ip link set pa up"),
              in + "ip addr add 10.98.0.2/24 dev pb", in + "ip link set pb up"}) {
            ASSERT_EQ(std::system(command.c_str()), 0) << command;
        }
        Listener listener;
        std::unique_ptr<LinuxTcpTable> inner;
        server.Inside([&] {
            listener = ListenIPv4("10.98.0.2");
            inner = LinuxTcpTable::Open();
        });
        ASSERT_TRUE(inner);
        const std::string rule =
            "nft add table ip pub && nft add chain ip pub out "
            "'{ type nat hook output priority -100; }' && "
            "nft add rule ip pub out tcp dport " +
            std::to_string(kPublished) + " dnat to 10.98.0.2:" + std::to_string(listener.port);
        ASSERT_EQ(std::system(rule.c_str()), 0) << rule;
        TranslatedTcpTable table(std::move(inner));
        const RuleSet rules(ListOf({}), ListOf({"18080"}), ListOf({}));
        table.SetRules(BlockingRulesOf(rules));

        const Listener published{UniqueFd(::dup(listener.fd.Get())), kPublished};
        const Connection direct = Connect(listener, "10.98.0.2");
        const Connection translated = Connect(published, "10.98.0.2");
        const TcpRow directRow = RowOf(table, direct);
        EXPECT_EQ(directRow.OriginalPort, 0);
        EXPECT_EQ(rules.Judge(directRow), Verdict::Passed);

        const TcpRow row = RowOf(table, translated);
        EXPECT_EQ(row.LocalPort, listener.port);
        EXPECT_EQ(row.OriginalPort, kPublished);
        EXPECT_EQ(rules.Judge(row), Verdict::BlockedByOriginalPort);
        // The allowed list is judged on the client as the socket sees it.
        EXPECT_EQ(RuleSet(ListOf({"10.98.0.1"}), ListOf({"18080"}), ListOf({})).Judge(row),
                  Verdict::Allowed);
        EXPECT_TRUE(table.CloseConnection(row));
        EXPECT_TRUE(Aborted(translated.server));
        // The reset crosses the veth on its own time.
        EXPECT_TRUE(WaitUntil([&] { return ReceiveError(translated.client.Get()) == ECONNRESET; }));
        EXPECT_TRUE(Carries(direct, true));

        // More new connections than are asked for one by one: one dump tells them all.
        const std::vector<Connection> many =
            ConnectMany(published, TranslatedTcpTable::kAskedOneByOne + 4, "10.98.0.2");
        for (const Connection& connection : many) {
            EXPECT_EQ(RowOf(table, connection).OriginalPort, kPublished);
        }
    });
}

}  // namespace
}  // namespace quarnel::platform
