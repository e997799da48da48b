#pragma once

#include <cstddef>
#include <memory>

#include "platform/linux/bpf/NamespaceScope.h"
#include "platform/linux/bpf/PortWords.h"
#include "platform/linux/events/TcpEventStream.h"

struct tcp_states;
struct ring_buffer;

namespace quarnel::platform {

// The kernel program that reports the TCP state changes of this process's network namespace (or
// of every namespace, each report with its namespace's inode), loaded, attached and read through
// its ring buffer. Owners are reported for this process's namespace alone. Detached when dropped.
class KernelTcpEvents final : public TcpEventStream {
public:
    // Room for some 16,000 reports (64 bytes each, a connect or listen's owner 48 more): what piles
    // up between two reads in a burst of a few thousand connections, since the reader is woken for
    // every one established and whenever the ring is a quarter full, so that a burst costs no whole
    // read of a large table. The kernel maps the whole ring twice into the reader (a report may
    // wrap around its end), and all of it counts in the process's resident memory: 2 MiB, not more.
    static constexpr std::size_t kRingBytes = 1024 * 1024;

    // Loads and attaches the program; nullptr when the system rejects it, with why set.
    // ringBytes is a power of two, at least one memory page.
    [[nodiscard]] static std::unique_ptr<KernelTcpEvents> Open(
        PollingCause& why, std::size_t ringBytes = kRingBytes,
        NamespaceScope scope = NamespaceScope::Own);

    int Descriptor() const override;
    bool Drain(const std::function<void(const TcpStateEvent&)>& sink) override;
    std::uint64_t LostCount() const override;
    std::uint32_t OwnNamespace() const override { return ownNamespace_; }
    bool WakeFor(const BlockingRules& rules) override;
    void TakeOwners(std::vector<SocketOwner>& owners) override;

private:
    struct Unload {
        void operator()(tcp_states* program) const;
        void operator()(ring_buffer* ring) const;
    };
    using Program = std::unique_ptr<tcp_states, Unload>;
    using Ring = std::unique_ptr<ring_buffer, Unload>;

public:
    explicit KernelTcpEvents(Program program) : program_(std::move(program)) {}  // through Open
    // The ring buffer calls back with this object's address: it stays where it was made.
    KernelTcpEvents(const KernelTcpEvents&) = delete;
    KernelTcpEvents& operator=(const KernelTcpEvents&) = delete;

private:
    static int OnRecord(void* self, void* data, std::size_t size);

    Program program_;
    Ring ring_;
    PortWords urgentLocal_{};  // what the kernel program's port maps hold
    PortWords urgentRemote_{};
    const std::function<void(const TcpStateEvent&)>* sink_ = nullptr;  // during Drain only
    std::vector<SocketOwner> owners_;  // reported and not yet taken, to a bound
    std::uint32_t ownNamespace_ = 0;
};

}  // namespace quarnel::platform
