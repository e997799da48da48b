#pragma once

#include <memory>

#include "platform/linux/owners/SocketHolders.h"

struct socket_holders;

namespace quarnel::platform {

// The kernel program that lists the sockets processes hold, loaded and attached as an
// iterator; each read runs it once over every process. Unloaded when dropped.
class KernelSocketHolders final : public SocketHolders {
public:
    // nullptr when the system rejects it (no CAP_BPF, an older kernel).
    [[nodiscard]] static std::unique_ptr<KernelSocketHolders> Open();

    [[nodiscard]] bool Read(SocketHolding& holding) override;

private:
    struct Unload {
        void operator()(socket_holders* program) const;
    };
    using Program = std::unique_ptr<socket_holders, Unload>;

public:
    explicit KernelSocketHolders(Program program) : program_(std::move(program)) {}  // Open

private:
    Program program_;
};

}  // namespace quarnel::platform
