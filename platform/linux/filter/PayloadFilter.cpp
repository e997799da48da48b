#include "platform/linux/filter/PayloadFilter.h"

#include <bpf/libbpf.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "PayloadFilter.skel.h"
#include "platform/linux/bpf/QuietLibbpf.h"
#include "platform/linux/filter/CgroupRoot.h"
#include "platform/linux/privileges/ProcessRights.h"

namespace quarnel::platform {

namespace {

// Why the kernel rejected the filter, as far as the error number tells; only the loader can tell
// a system call filter's denial.
FilterCause CauseFromError(int error) {
    if (error == EPERM && UnderSystemCallFilter() &&
        HoldsCapabilities(std::uint64_t{1} << CAP_BPF | std::uint64_t{1} << CAP_PERFMON |
                          std::uint64_t{1} << CAP_NET_ADMIN)) {
        return {FilterCause::Kind::Filtered, error};
    }
    return FilterCause::FromError(error);
}

}  // namespace

void PayloadFilter::Unload::operator()(payload_filter* program) const {
    payload_filter::destroy(program);
}

void PayloadFilter::Unload::operator()(bpf_link* link) const {
    (void)bpf_link__destroy(link);  // detaching cannot fail in a way anyone could mend
}

PayloadFilter::PayloadFilter(Program program)
    : program_(std::move(program)), maps_(program_->maps) {}

std::unique_ptr<PayloadFilter> PayloadFilter::AttachToRoot(FilterCause& why, NamespaceScope scope) {
    int error = 0;
    const std::string root = FindCgroup2Root(&error);
    if (root.empty()) {
        why = error != 0 ? CauseFromError(error) : FilterCause{FilterCause::Kind::NoCgroup2};
        return nullptr;
    }
    return Attach(root, why, scope);
}

std::unique_ptr<PayloadFilter> PayloadFilter::Attach(const std::string& cgroup, FilterCause& why,
                                                     NamespaceScope scope) {
    QuietLibbpf();
    struct stat network {};
    if (::stat("/proc/self/ns/net", &network) != 0) {
        why = {FilterCause::Kind::Rejected, errno};
        return nullptr;
    }
    const UniqueFd directory(::open(cgroup.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!directory) {
        why = errno == ENOENT ? FilterCause{FilterCause::Kind::NoCgroup2, errno}
                              : CauseFromError(errno);
        return nullptr;
    }
    Program program(payload_filter::open());
    if (!program) {
        why = CauseFromError(errno);
        return nullptr;
    }
    // 0: every namespace's.
    program->rodata->NetNamespace =
        scope == NamespaceScope::Every ? 0 : static_cast<__u32>(network.st_ino);
    if (const int error = payload_filter::load(program.get()); error != 0) {
        why = CauseFromError(-error);
        return nullptr;
    }
    auto filter = std::make_unique<PayloadFilter>(std::move(program));
    payload_filter& loaded = *filter->program_;
    filter->ingress_.reset(bpf_program__attach_cgroup(loaded.progs.HoldIngress, directory.Get()));
    if (!filter->ingress_) {
        why = CauseFromError(errno);
        return nullptr;
    }
    filter->egress_.reset(bpf_program__attach_cgroup(loaded.progs.HoldEgress, directory.Get()));
    if (!filter->egress_) {
        why = CauseFromError(errno);
        return nullptr;
    }
    return filter;
}

bool PayloadFilter::SetRules(const BlockingRules& rules, FilterCause& why) {
    return maps_.Write(rules, why);
}

std::uint64_t PayloadFilter::HeldPackets() const {
    return __atomic_load_n(&program_->bss->HeldPackets, __ATOMIC_RELAXED);
}

}  // namespace quarnel::platform
