#pragma once

#include <cstdint>
#include <functional>

#include "platform/linux/bpf/TcpStateEvent.h"

namespace quarnel::platform {

// The kernel's reports of TCP state changes, oldest first.
class TcpEventStream {
public:
    virtual ~TcpEventStream() = default;

    // Turns readable while reports wait.
    virtual int Descriptor() const = 0;
    // Hands every waiting report to sink. False when they could not be read: some may be lost.
    virtual bool Drain(const std::function<void(const TcpStateEvent&)>& sink) = 0;
    // How many reports the kernel has dropped so far for want of room.
    virtual std::uint64_t LostCount() const = 0;
};

}  // namespace quarnel::platform
