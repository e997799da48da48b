#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/BlockingRules.h"
#include "platform/linux/UniqueFd.h"
#include "platform/linux/filter/FilterCause.h"
#include "platform/linux/filter/RuleMaps.h"
#include "platform/linux/filter/RulesFilter.h"

struct payload_filter;
struct bpf_link;

namespace quarnel::platform {

// The kernel filter that holds back the payload of connections the rules block, in this
// process's network namespace, attached to a cgroup v2 for both directions. It is attached
// through links this process owns and never pins: when the process ends, however it ends, the
// kernel detaches it, so it never blocks anything with nobody left to lift it. Other programs
// attached to the same cgroup keep theirs (links always attach alongside).
//
// It blocks nothing until it is given rules.
class PayloadFilter final : public RulesFilter {
public:
    // Loads the filter and attaches it to the cgroup v2 directory at cgroup; nullptr, with why
    // set, when the system rejects it. Needs CAP_BPF, CAP_PERFMON and CAP_NET_ADMIN, only here.
    // It holds back the connections of the namespaces scope names.
    static std::unique_ptr<PayloadFilter> Attach(const std::string& cgroup, FilterCause& why,
                                                 NamespaceScope scope = NamespaceScope::Own);
    // As above, on the root of the cgroup v2 hierarchy: every process of the machine.
    static std::unique_ptr<PayloadFilter> AttachToRoot(FilterCause& why,
                                                       NamespaceScope scope = NamespaceScope::Own);

    // For connections open and still to come.
    bool SetRules(const BlockingRules& rules, FilterCause& why) override;

    // How many packets it dropped so far.
    std::uint64_t HeldPackets() const;

private:
    struct Unload {
        void operator()(payload_filter* program) const;
        void operator()(bpf_link* link) const;
    };
    using Program = std::unique_ptr<payload_filter, Unload>;
    using Link = std::unique_ptr<bpf_link, Unload>;

public:
    explicit PayloadFilter(Program program);  // through Attach

private:
    Program program_;
    // Declared after the program: they go first, so the filter leaves the cgroup before its
    // maps go.
    Link ingress_;
    Link egress_;
    RuleMaps maps_;
};

}  // namespace quarnel::platform
