#include "platform/linux/events/KernelTcpEvents.h"

#include <bpf/libbpf.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

#include "TcpStates.skel.h"
#include "platform/linux/bpf/QuietLibbpf.h"
#include "platform/linux/privileges/ProcessRights.h"

namespace quarnel::platform {

namespace {

// Owners reported and not yet taken: past it, the reader's look through /proc names the rest.
constexpr std::size_t kMaxOwners = 65536;

// Why the kernel rejected the program, as far as the error number tells.
PollingCause CauseFromError(int error) {
    if (OutOfResources(error)) {
        return {PollingCause::Kind::NoResource, error};
    }
    if (error == EPERM && UnderSystemCallFilter() &&
        HoldsCapabilities(std::uint64_t{1} << CAP_BPF | std::uint64_t{1} << CAP_PERFMON)) {
        return {PollingCause::Kind::Filtered, error};
    }
    if (error == EPERM || error == EACCES) {
        std::ifstream lockdown("/sys/kernel/security/lockdown");
        const std::string modes{std::istreambuf_iterator<char>(lockdown), {}};
        return {modes.find("[confidentiality]") != std::string::npos
                    ? PollingCause::Kind::LockedDown
                    : PollingCause::Kind::NoRights};
    }
    return {PollingCause::Kind::Rejected, error};
}

}  // namespace

void KernelTcpEvents::Unload::operator()(tcp_states* program) const {
    tcp_states::destroy(program);
}

void KernelTcpEvents::Unload::operator()(ring_buffer* ring) const {
    ring_buffer__free(ring);
}

std::unique_ptr<KernelTcpEvents> KernelTcpEvents::Open(PollingCause& why, std::size_t ringBytes,
                                                       NamespaceScope scope) {
    QuietLibbpf();
    struct stat types {};
    if (::stat("/sys/kernel/btf/vmlinux", &types) != 0) {
        why = {PollingCause::Kind::NoTypeInfo};
        return nullptr;
    }
    struct stat network {};
    if (::stat("/proc/self/ns/net", &network) != 0) {
        why = {PollingCause::Kind::Rejected, errno};  // without /proc nothing here works
        return nullptr;
    }

    struct stat processes {};
    if (::stat("/proc/self/ns/pid", &processes) != 0) {
        why = {PollingCause::Kind::Rejected, errno};
        return nullptr;
    }

    Program program(tcp_states::open());
    if (!program) {
        why = CauseFromError(errno);
        return nullptr;
    }
    const auto own = static_cast<__u32>(network.st_ino);
    program->rodata->NetNamespace = scope == NamespaceScope::Every ? 0 : own;
    program->rodata->OwnNamespace = own;
    program->rodata->PidNamespaceDevice = processes.st_dev;
    program->rodata->PidNamespaceInode = processes.st_ino;
    int error = bpf_map__set_max_entries(program->maps.Events, static_cast<__u32>(ringBytes));
    if (error == 0) {
        error = tcp_states::load(program.get());
    }
    if (error != 0) {
        why = CauseFromError(-error);
        return nullptr;
    }
    // Attached before the first whole read of the table, so that no change falls in between.
    if ((error = tcp_states::attach(program.get())) != 0) {
        why = CauseFromError(-error);
        return nullptr;
    }

    auto events = std::make_unique<KernelTcpEvents>(std::move(program));
    events->ownNamespace_ = own;
    events->ring_.reset(ring_buffer__new(bpf_map__fd(events->program_->maps.Events),
                                         &KernelTcpEvents::OnRecord, events.get(), nullptr));
    if (!events->ring_) {
        why = CauseFromError(errno);
        return nullptr;
    }
    return events;
}

int KernelTcpEvents::Descriptor() const {
    return ring_buffer__epoll_fd(ring_.get());
}

bool KernelTcpEvents::Drain(const std::function<void(const TcpStateEvent&)>& sink) {
    sink_ = &sink;
    const int consumed = ring_buffer__consume(ring_.get());
    sink_ = nullptr;
    return consumed >= 0;
}

int KernelTcpEvents::OnRecord(void* self, void* data, std::size_t size) {
    // Records start 8-byte aligned, as the events need; the two kinds differ in size, and a
    // record of another size is not ours.
    static_assert(sizeof(TcpOwnerEvent) < sizeof(TcpStateEvent));
    auto& events = *static_cast<KernelTcpEvents*>(self);
    if (size >= sizeof(TcpStateEvent)) {
        (*events.sink_)(*static_cast<const TcpStateEvent*>(data));
    } else if (size == sizeof(TcpOwnerEvent) && events.owners_.size() < kMaxOwners) {
        const auto& reported = *static_cast<const TcpOwnerEvent*>(data);
        SocketOwner& socket = events.owners_.emplace_back();
        socket.Cookie = reported.Cookie;
        socket.Inode = reported.Inode;
        socket.Owner.Pid = reported.Pid;
        socket.Owner.Uid = reported.Uid;
        socket.Namespace = reported.Namespace;
        static_assert(sizeof(reported.Command) == sizeof(socket.Owner.Command));
        std::memcpy(socket.Owner.Command.data(), reported.Command, sizeof(reported.Command));
        socket.Owner.Command.back() = '\0';
    }
    return 0;
}

void KernelTcpEvents::TakeOwners(std::vector<SocketOwner>& owners) {
    owners.clear();
    owners.swap(owners_);
}

std::uint64_t KernelTcpEvents::LostCount() const {
    // The kernel program counts on while we read: one atomic read of the shared counter.
    return __atomic_load_n(&program_->bss->LostEvents, __ATOMIC_RELAXED);
}

bool KernelTcpEvents::WakeFor(const BlockingRules& rules) {
    // Every connection counts while the ports change, so that none on a port both the old and
    // the new rules block goes unannounced; and for good when they cannot be written.
    std::uint32_t& every = program_->data->EveryConnectionUrgent;
    __atomic_store_n(&every, 1, __ATOMIC_SEQ_CST);
    if (!WritePortWords(bpf_map__fd(program_->maps.UrgentLocalPorts),
                        ToPortWords(rules.BlockedLocalPorts), urgentLocal_) ||
        !WritePortWords(bpf_map__fd(program_->maps.UrgentRemotePorts),
                        ToPortWords(rules.BlockedRemotePorts), urgentRemote_)) {
        return false;
    }
    __atomic_store_n(&every, 0, __ATOMIC_SEQ_CST);
    return true;
}

}  // namespace quarnel::platform
