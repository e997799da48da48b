#include "platform/linux/filter/RulesFilter.h"

#ifdef QUARNEL_PAYLOAD_FILTER
#include "platform/linux/bpf/PayloadFilter.h"
#endif

namespace quarnel::platform {

std::unique_ptr<RulesFilter> OpenPayloadFilter(FilterCause& why) {
#ifdef QUARNEL_PAYLOAD_FILTER
    return PayloadFilter::AttachToRoot(why);
#else
    why = {FilterCause::Kind::NotBuilt};
    return nullptr;
#endif
}

}  // namespace quarnel::platform
