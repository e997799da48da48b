#pragma once

#include <cstdint>
#include <string>

namespace quarnel::platform {

// Why the kernel does not hold back the payload of blocked connections, so that only the pass
// tears them down (and a few bytes may get through before it does).
struct FilterCause {
    enum class Kind : std::uint16_t {
        None = 0,          // it holds it back
        NotBuilt,          // this build has no kernel programs
        NoCgroup2,         // the system has no cgroup v2 hierarchy to attach to
        NoRights,          // the process lacks CAP_BPF, CAP_PERFMON or CAP_NET_ADMIN
        Rejected,          // the kernel rejected the filter (Error tells), e.g. an old kernel
        TooManyAddresses,  // the allowed prefixes are more than the filter holds
        Filtered,          // a system call filter denies bpf, though the capabilities are held
        NoResource,        // the process ran out of something (Error tells: descriptors, memory)
    };
    Kind Why = Kind::None;
    int Error = 0;  // the system's error number where it tells more
    // The packet filter's table holds it back instead (Why tells why the kernel filter does
    // not): blocked payload is held back all the same.
    bool Netfilter = false;

    // Whether blocked payload is held back, by the kernel filter or the table.
    bool Holds() const { return Why == Kind::None || Netfilter; }

    // The cause the error number tells: a want of resources or rights, or else a rejection.
    static FilterCause FromError(int error);

    // The reason in a few words, e.g. "this system has no cgroup v2 hierarchy".
    std::string Text() const;

    bool operator==(const FilterCause&) const = default;
};

}  // namespace quarnel::platform
