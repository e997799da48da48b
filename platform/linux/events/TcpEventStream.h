#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/BlockingRules.h"
#include "platform/ConnectionOwner.h"
#include "platform/linux/bpf/TcpStateEvent.h"

namespace quarnel::platform {

// The kernel's reports of TCP state changes, oldest first.
class TcpEventStream {
public:
    virtual ~TcpEventStream() = default;

    // Turns readable when a report of a connection that became established waits (see
    // WakeFor), or many reports do. Other reports wait unannounced for the next drain: a reader
    // that must see them drains on its own timer too.
    virtual int Descriptor() const = 0;
    // Hands every waiting report to sink. False when they could not be read: some may be lost.
    [[nodiscard]] virtual bool Drain(const std::function<void(const TcpStateEvent&)>& sink) = 0;
    // How many reports the kernel has dropped so far for want of room.
    virtual std::uint64_t LostCount() const = 0;
    // The inode of the network namespace whose reports are the reader's own; a stream of every
    // namespace's reports hands on the others' too, each with its namespace's inode.
    virtual std::uint32_t OwnNamespace() const { return 0; }
    // From now on only a connection established on a port these rules block (whatever its
    // address) turns the descriptor readable; until the first call, every one does. False when
    // the ports could not be set: then every one does again.
    virtual bool WakeFor(const BlockingRules& /*rules*/) { return true; }
    // Who connected or listened, as reported since the last call (drained with the changes).
    virtual void TakeOwners(std::vector<SocketOwner>& owners) { owners.clear(); }
};

// Why the TCP table is read whole on every read (polled) instead of kept from the kernel's
// reports.
struct PollingCause {
    enum class Kind : std::uint16_t {
        None = 0,    // it is not polled
        NotBuilt,    // this build has no kernel event support
        NoTypeInfo,  // the kernel publishes no BTF type information
        NoRights,    // the process lacks CAP_BPF and CAP_PERFMON
        LockedDown,  // the kernel is locked down against reading its memory
        Rejected,    // the kernel rejected the program for another reason (Error tells)
        Filtered,    // a system call filter denies bpf, though both capabilities are held
        NoResource,  // the process ran out of something (Error tells: descriptors, memory)
    };
    Kind Why = Kind::None;
    int Error = 0;  // the system's error number where it tells more
    // The packet filter's table tells of blocked connections instead (Why tells why the
    // kernel's reports are missing): the table is read whole only every few seconds.
    bool Logged = false;

    // The reason in a few words, e.g. "loading kernel programs needs CAP_BPF and CAP_PERFMON".
    std::string Text() const;
};

}  // namespace quarnel::platform
