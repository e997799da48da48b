#include "service/NamespaceChurn.h"

#include "engine/ActionLog.h"

namespace quarnel {

bool NamespaceChurn::Tell(Change change, Clock::time_point now) {
    if (!since_ || (now - *since_ >= kPeriod && guarded_ + gone_ == 0)) {
        since_ = now;
        told_ = 0;
    }
    if (told_ < kOneByOne) {
        ++told_;
        return true;
    }
    ++(change == Change::Guarded ? guarded_ : gone_);
    return false;
}

std::optional<std::string> NamespaceChurn::TakeSum(Clock::time_point now) {
    if (!since_ || now - *since_ < kPeriod || guarded_ + gone_ == 0) {
        return std::nullopt;
    }
    std::string sum = GroupedNumber(guarded_) + " more network namespaces guarded and " +
                      GroupedNumber(gone_) + " more gone in the last minute, not logged one by one";
    since_.reset();
    guarded_ = gone_ = 0;
    return sum;
}

}  // namespace quarnel
