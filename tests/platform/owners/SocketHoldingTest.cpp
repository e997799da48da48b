// Who holds a socket, as the look for holders keeps it: the first holder of an inode wins however
// the sort moves them, and what cannot be a socket's inode is left out.
#include <gtest/gtest.h>

#include <cstdint>

#include "platform/ConnectionOwner.h"

namespace quarnel::platform {
namespace {

TEST(SocketHolding, NamesEachInodesFirstHolder) {
    const ConnectionOwner parent{10, 0, {'s', 'h'}};
    const ConnectionOwner child{11, 0, {'s', 'h'}};
    SocketHolding holding;
    // Many sockets, so that the sort has to move them; each held by the parent first, the
    // odd ones by the child too.
    for (std::uint64_t inode = 4000; inode > 0; --inode) {
        holding.Add(inode, parent);
    }
    for (std::uint64_t inode = 1; inode <= 4000; inode += 2) {
        holding.Add(inode, child);
    }
    holding.Add(std::uint64_t{1} << 32 | 5000, child);  // past 32 bits: no socket's inode
    holding.Sort();
    for (std::uint64_t inode = 1; inode <= 4000; ++inode) {
        const ConnectionOwner* holder = holding.HolderOf(inode);
        ASSERT_NE(holder, nullptr) << inode;
        EXPECT_EQ(holder->Pid, parent.Pid) << inode;
    }
    EXPECT_EQ(holding.HolderOf(5000), nullptr);
    EXPECT_EQ(holding.HolderOf(4001), nullptr);
}

}  // namespace
}  // namespace quarnel::platform
