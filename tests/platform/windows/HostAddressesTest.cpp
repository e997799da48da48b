#include <winsock2.h>

#include <gtest/gtest.h>

#include <algorithm>

#include "platform/windows/WindowsHostAddressSource.h"

namespace quarnel::testing {
namespace {

// In the tests' private network the machine has loopback alone, of both IP versions.
TEST(HostAddresses, TheAdaptersGiveLoopbackOfBothVersionsEachOnce) {
    platform::WindowsHostAddressSource hosts;
    const platform::HostAddresses found = hosts.GetHostAddresses();
    ASSERT_FALSE(found.Failure) << found.Failure->Description;
    const auto& ipv4 = found.Addresses;
    EXPECT_NE(std::find(ipv4.begin(), ipv4.end(), htonl(INADDR_LOOPBACK)), ipv4.end());
    platform::IpAddress loopback6{};
    loopback6[15] = 1;
    const auto& ipv6 = found.IPv6Addresses;
    EXPECT_EQ(std::count(ipv6.begin(), ipv6.end(), loopback6), 1);
}

}  // namespace
}  // namespace quarnel::testing
