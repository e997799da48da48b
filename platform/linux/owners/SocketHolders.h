#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/ConnectionOwner.h"

namespace quarnel::platform {

// Which process holds which socket: by each socket's inode, the process that has it open (the
// first found where several do).
class SocketHolders {
public:
    virtual ~SocketHolders() = default;
    // Into holding, sorted (see SocketHolding); false when nothing could be read.
    [[nodiscard]] virtual bool Read(SocketHolding& holding) = 0;
};

// The kernel's list where this process may load the program that makes it (at start, while it
// holds CAP_BPF; reading it later needs nothing), else a look through proc, which sees only the
// processes this one may look into.
std::unique_ptr<SocketHolders> OpenSocketHolders(const std::string& proc = "/proc");

}  // namespace quarnel::platform
