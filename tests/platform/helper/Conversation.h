#pragma once

#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/linux/UniqueFd.h"
#include "platform/linux/client/HelperChannel.h"
#include "platform/linux/helper/HelperServer.h"
#include "tests/support/Rows.h"

// Both sides of the conversation with the helper over a real socketpair in one process, with a
// made-up table behind the helper's side.

namespace quarnel::platform {

// A made-up table behind the helper's side, the sockets it looks up and its filter.
// The owner of ManyRows' rows with pid (from 1 on): names of every length, 0 to 15.
inline ConnectionOwner ManyRowsOwner(std::uint32_t pid) {
    ConnectionOwner owner{pid, (pid - 1) % 3, {}};
    std::string("program-name-15").copy(owner.Command.data(), (pid - 1) % 16);
    return owner;
}

struct FakeTable final : SourceDefaults<>, SocketLookup, RulesFilter {
    ConnectionOwner Owner(const TcpRow& row) const override {
        return row.OwnerPid != 0 ? ManyRowsOwner(row.OwnerPid) : ConnectionOwner{};
    }
    bool CloseConnection(const TcpRow& row) override {
        closeRequests.push_back(row);
        return true;
    }
    // Only the rows named in changed go to out, as from a table kept from the kernel's reports;
    // when none are named, the whole table, or for a table that tells of its changes only when
    // wholeChange says so.
    ReadResult Read(std::vector<TcpRow>& out, TableChanges* changes) override {
        Heard();
        if (changes == nullptr || changed.empty()) {
            if (changes != nullptr && !std::exchange(wholeChange, !tellsChanges)) {
                return ReadResult::Unchanged;
            }
            out = rows;
            return Whole(true, changes);
        }
        out.resize(rows.size());
        for (const std::size_t i : changed) {
            out[i] = rows[i];
        }
        changes->Whole = false;
        changes->Rows = std::exchange(changed, {});
        return ReadResult::Changed;
    }
    CloseAbility CanCloseConnections() override { return CloseAbility::NotSupported; }
    void SetRules(const BlockingRules& rules) override { rulesGiven.push_back(rules); }
    bool SetRules(const BlockingRules& rules, FilterCause& why) override {
        filterGiven.push_back(rules);
        why = refuse;
        return refuse.Why == FilterCause::Kind::None;
    }
    Found LookUp(const TcpRow&, TcpState& state) override {
        state = socketState;
        return found;
    }
    Found Find(TcpRow& row) override {
        row.State = socketState;
        return found;
    }
    // Readable from Announce until the next read, as a table kept from the kernel's reports
    // tells of changes; unless tellsChanges, a table that cannot tell.
    int WaitDescriptor() const override { return tellsChanges ? news.Get() : -1; }
    void Announce() const {
        const std::uint64_t one = 1;
        (void)!::write(news.Get(), &one, sizeof one);  // fails only once counted past 2^64
    }
    void Heard() const {
        std::uint64_t count = 0;
        (void)!::read(news.Get(), &count, sizeof count);  // nothing to read: nothing announced
    }

    std::vector<TcpRow> rows, closeRequests;
    std::vector<BlockingRules> rulesGiven, filterGiven;
    FilterCause refuse;
    std::vector<std::size_t> changed;
    Found found = Found::Socket;
    TcpState socketState = TcpState::Established;
    bool tellsChanges = false;
    bool wholeChange = true;
    UniqueFd news{::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)};
};

inline std::vector<TcpRow> ManyRows(std::size_t count) {
    std::vector<TcpRow> rows(count);
    for (std::uint32_t n = 0; n < count; ++n) {
        const auto i = static_cast<std::int32_t>(n);
        rows[n] = {static_cast<TcpState>(i % 13),
                   SocketFamily::IPv4,
                   MappedIPv4(n),
                   0,  // not translated
                   i % 65536,
                   MappedIPv4(~n),
                   80,
                   n % 5,
                   n % 4 != 0 ? n + 1 : 0,  // some owners not known
                   0,
                   (1ull << 40) + n};
        if (n % 3 == 0) {
            // An IPv6 socket: its addresses as the kernel has them, some of them IPv4-mapped.
            rows[n].Family = SocketFamily::IPv6;
            rows[n].LocalAddress[0] = static_cast<std::uint8_t>(n % 2 ? 0x20 : 0);
            rows[n].RemoteAddress[15] = static_cast<std::uint8_t>(n);
        }
    }
    return rows;
}

struct SocketPair {
    int ends[2] = {-1, -1};
    const bool made = ::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) == 0;
    UniqueFd program{ends[0]}, helper{ends[1]};
};

// The helper's side serving table on its own thread until the program's end closes.
struct Served {
    explicit Served(FakeTable& table, std::FILE* log = stderr, RulesFilter* filter = nullptr,
                    FilterCause filtered = {FilterCause::Kind::NotBuilt})
        : server([this, &table, log, filter, filtered] {
              servedToTheEnd =
                  HelperServer(pair.helper.Get(), table, table, log, {}, filter, filtered).Run();
          }) {}
    ~Served() {
        pair.program.Reset();  // the end of the conversation
        server.join();
        EXPECT_TRUE(servedToTheEnd) << "the server saw a failing socket, not the end";
    }

    SocketPair pair;
    bool servedToTheEnd = false;
    std::thread server;
    HelperChannel channel{pair.program.Get(),
                          std::chrono::seconds(30)};  // the largest table, under the sanitizers
};

}  // namespace quarnel::platform
