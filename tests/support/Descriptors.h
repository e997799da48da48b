#pragma once

#include <fcntl.h>
#include <sys/resource.h>

#include <algorithm>
#include <vector>

#include "platform/linux/UniqueFd.h"

namespace quarnel::testsupport {

// Takes every file descriptor this process may still open, for as long as it lives: what a
// program meets once it reached a low limit (ulimit -n). The limit is lowered meanwhile, so that
// few need taking.
class DescriptorsUsedUp {
public:
    DescriptorsUsedUp() {
        if (::getrlimit(RLIMIT_NOFILE, &before_) == 0) {
            rlimit low = before_;
            low.rlim_cur = std::min<rlim_t>(before_.rlim_cur, 256);
            lowered_ = ::setrlimit(RLIMIT_NOFILE, &low) == 0;
        }
        while (platform::UniqueFd fd{::open("/dev/null", O_RDONLY | O_CLOEXEC)}) {
            taken_.push_back(std::move(fd));
        }
    }
    ~DescriptorsUsedUp() {
        taken_.clear();
        if (lowered_) {
            (void)::setrlimit(RLIMIT_NOFILE, &before_);  // the limit it had, which it may set
        }
    }
    DescriptorsUsedUp(const DescriptorsUsedUp&) = delete;
    DescriptorsUsedUp& operator=(const DescriptorsUsedUp&) = delete;

private:
    rlimit before_{};
    bool lowered_ = false;
    std::vector<platform::UniqueFd> taken_;
};

}  // namespace quarnel::testsupport
