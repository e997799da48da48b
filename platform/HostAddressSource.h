#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/IpAddress.h"

namespace quarnel::platform {

// An unexpected failure while gathering the machine's addresses.
struct HostAddressFailure {
    std::int32_t Number = 0;
    std::string Description;
};

struct HostAddresses {
    // IPv4 addresses in network byte order: first those the resolver gives for the machine's
    // host name, in its order with duplicates kept, then those of the interfaces that are up
    // and not already listed. Empty when nothing is found.
    std::vector<std::uint32_t> Addresses;
    // IPv6 addresses gathered the same way (the resolver's first, then the interfaces'), each
    // once.
    std::vector<IpAddress> IPv6Addresses;
    // Set when the gathering failed unexpectedly; both lists are then empty.
    std::optional<HostAddressFailure> Failure;
};

// The machine's own addresses as the operating system knows them.
class HostAddressSource {
public:
    virtual ~HostAddressSource() = default;

    virtual HostAddresses GetHostAddresses() = 0;
};

}  // namespace quarnel::platform
