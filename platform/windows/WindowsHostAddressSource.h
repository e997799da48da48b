#pragma once

#include "platform/HostAddressSource.h"

namespace quarnel::platform {

// The machine's own addresses on Windows: those the resolver gives for its host name, then those
// of its network adapters that are up (GetAdaptersAddresses), both IP versions.
class WindowsHostAddressSource final : public HostAddressSource {
public:
    HostAddresses GetHostAddresses() override;
};

}  // namespace quarnel::platform
