// A steady read of the table allocates nothing. Its own program, because it counts every
// allocation the process makes.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "platform/linux/LinuxTcpTable.h"
#include "tests/platform/TableRows.h"
#include "tests/support/PrivateNetwork.h"
#include "tests/support/Sockets.h"

namespace {

std::atomic<long> allocations{0};

void* Allocate(std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* memory = std::malloc(size == 0 ? 1 : size)) {
        return memory;
    }
    throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t size) {
    return Allocate(size);
}
void* operator new[](std::size_t size) {
    return Allocate(size);
}
void operator delete(void* memory) noexcept {
    std::free(memory);
}
void operator delete[](void* memory) noexcept {
    std::free(memory);
}
void operator delete(void* memory, std::size_t) noexcept {
    std::free(memory);
}
void operator delete[](void* memory, std::size_t) noexcept {
    std::free(memory);
}

namespace quarnel::platform {
namespace {

using namespace quarnel::testsupport;

TEST(LinuxTcpTableAllocation, SteadyReadsAllocateNothing) {
    RunInPrivateNetwork([] {
        auto table = OpenTable();
        ASSERT_TRUE(table);
        Listener listener = ListenIPv6Any(false);
        ASSERT_TRUE(listener.fd);
        const std::vector<Connection> connections = ConnectMany(listener, 300, "127.0.0.1");
        ASSERT_EQ(connections.size(), 300u);

        std::vector<TcpRow> rows;
        ASSERT_TRUE(table->ReadTable(rows));
        ASSERT_TRUE(table->ReadTable(rows));  // both buffers of the swap have grown now

        const long before = allocations.load();
        for (int i = 0; i < 5; ++i) {
            ASSERT_TRUE(table->ReadTable(rows));
        }
        EXPECT_EQ(allocations.load() - before, 0);
        EXPECT_EQ(rows.size(), 601u);
    });
}

}  // namespace
}  // namespace quarnel::platform
