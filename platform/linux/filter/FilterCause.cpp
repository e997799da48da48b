#include "platform/linux/filter/FilterCause.h"

#include <cerrno>
#include <cstring>

#include "platform/linux/bpf/PayloadRuleMaps.h"
#include "platform/linux/privileges/ProcessRights.h"

namespace quarnel::platform {

FilterCause FilterCause::FromError(int error) {
    if (OutOfResources(error)) {
        return {Kind::NoResource, error};
    }
    if (error == EPERM || error == EACCES) {
        return {Kind::NoRights, error};
    }
    return {Kind::Rejected, error};
}

std::string FilterCause::Text() const {
    switch (Why) {
        case Kind::None:
            return {};
        case Kind::NotBuilt:
            return "this build has no kernel programs";
        case Kind::NoCgroup2:
            return "the system has no cgroup v2 hierarchy to attach the filter to";
        case Kind::NoRights:
            return "attaching the filter needs CAP_BPF, CAP_PERFMON and CAP_NET_ADMIN";
        case Kind::TooManyAddresses:
            return "the allowed-addresses list holds more than " +
                   std::to_string(QUARNEL_MAX_ALLOWED_ADDRESSES) +
                   " addresses and prefixes, more than the filter can hold";
        case Kind::Filtered:
            return std::string(kFilteredBpf);
        case Kind::NoResource:
            return std::string("it could not set up the filter (") + std::strerror(Error) + ")";
        case Kind::Rejected:
            break;
    }
    return std::string("the kernel refused the filter") +
           (Error != 0 ? std::string(" (") + std::strerror(Error) + ")" : std::string());
}

}  // namespace quarnel::platform
