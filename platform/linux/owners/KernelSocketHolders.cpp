#include "platform/linux/owners/KernelSocketHolders.h"

#include <bpf/bpf.h>
#include <bpf/libbpf.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "SocketHolders.skel.h"
#include "platform/linux/UniqueFd.h"
#include "platform/linux/bpf/QuietLibbpf.h"
#include "platform/linux/bpf/SocketHolder.h"

namespace quarnel::platform {

void KernelSocketHolders::Unload::operator()(socket_holders* program) const {
    socket_holders::destroy(program);
}

std::unique_ptr<KernelSocketHolders> KernelSocketHolders::Open() {
    QuietLibbpf();
    struct stat processes {};
    if (::stat("/proc/self/ns/pid", &processes) != 0) {
        return nullptr;
    }
    Program program(socket_holders::open());
    if (!program) {
        return nullptr;
    }
    program->rodata->PidNamespaceInode = static_cast<__u32>(processes.st_ino);
    if (socket_holders::load(program.get()) != 0 || socket_holders::attach(program.get()) != 0) {
        return nullptr;
    }
    return std::make_unique<KernelSocketHolders>(std::move(program));
}

bool KernelSocketHolders::Read(SocketHolding& holding) {
    const UniqueFd walk(::bpf_iter_create(::bpf_link__fd(program_->links.ListSocketHolders)));
    if (!walk) {
        return false;
    }
    // Whole records only: the kernel never splits one between reads.
    std::vector<SocketHolder> records(4096);
    for (;;) {
        const ssize_t length =
            ::read(walk.Get(), records.data(), records.size() * sizeof(SocketHolder));
        if (length < 0 && errno == EINTR) {
            continue;
        }
        if (length < 0 || length % static_cast<ssize_t>(sizeof(SocketHolder)) != 0) {
            return false;
        }
        if (length == 0) {
            holding.Sort();
            return true;
        }
        for (std::size_t i = 0; i < static_cast<std::size_t>(length) / sizeof(SocketHolder); ++i) {
            const SocketHolder& holder = records[i];
            ConnectionOwner owner{holder.Pid, holder.Uid, {}};
            static_assert(sizeof(holder.Command) == sizeof(owner.Command));
            std::memcpy(owner.Command.data(), holder.Command, sizeof(holder.Command));
            owner.Command.back() = '\0';
            holding.Add(holder.Inode, owner);
        }
    }
}

}  // namespace quarnel::platform
