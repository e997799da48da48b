#pragma once

#include "platform/HostAddressSource.h"

namespace quarnel::platform {

// The host name's IPv4 addresses (gethostname, getaddrinfo), then the IPv4 addresses of the
// interfaces that are up (getifaddrs).
class LinuxHostAddressSource : public HostAddressSource {
public:
    HostAddresses GetHostAddresses() override;
};

}  // namespace quarnel::platform
