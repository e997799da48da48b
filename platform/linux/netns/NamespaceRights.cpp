#include "platform/linux/netns/NamespaceRights.h"

#include <sys/prctl.h>

#include <cerrno>
#include <cstring>

#include "platform/linux/privileges/Privileges.h"

namespace quarnel::platform {

bool GiveUpNamespaceRights(std::string& problem) {
    constexpr std::uint64_t kGiven = CapabilityBit(CAP_SYS_ADMIN) | CapabilityBit(CAP_SYS_PTRACE);
    const auto fail = [&problem](const std::string& what) {
        problem = what + ": " + std::strerror(errno);
        return false;
    };
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
        return fail("PR_SET_NO_NEW_PRIVS");
    }
    CapabilitySets sets;
    if (!ReadCapabilities(sets)) {
        return fail("capget");
    }
    for (const int capability : {CAP_SYS_ADMIN, CAP_SYS_PTRACE}) {
        // Lowering one that is not ambient changes nothing; EINVAL: a kernel without ambient.
        if (::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_LOWER, capability, 0, 0) != 0 &&
            errno != EINVAL) {
            return fail("PR_CAP_AMBIENT_LOWER");
        }
        // Without CAP_SETPCAP the bounding set stays, but what is neither permitted nor
        // inheritable cannot come back under no_new_privs.
        if ((sets.Effective & CapabilityBit(CAP_SETPCAP)) != 0 &&
            ::prctl(PR_CAPBSET_DROP, capability, 0, 0, 0) != 0) {
            return fail("PR_CAPBSET_DROP");
        }
    }
    const CapabilitySets wanted{sets.Effective & ~kGiven, sets.Permitted & ~kGiven,
                                sets.Inheritable & ~kGiven};
    CapabilitySets now;
    if (!WriteCapabilities(wanted) || !ReadCapabilities(now)) {
        return fail("capset");
    }
    if (now.Effective != wanted.Effective || now.Permitted != wanted.Permitted ||
        now.Inheritable != wanted.Inheritable ||
        ::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_IS_SET, CAP_SYS_ADMIN, 0, 0) > 0 ||
        ::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_IS_SET, CAP_SYS_PTRACE, 0, 0) > 0) {
        problem = "the capability sets did not change as asked";
        return false;
    }
    return true;
}

}  // namespace quarnel::platform
