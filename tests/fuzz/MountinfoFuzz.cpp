// /proc/self/mountinfo as the payload filter reads it to find the cgroup v2 root: any text,
// however its lines are cut or escaped, gives a path or none.

#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "platform/linux/filter/CgroupRoot.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::istringstream mountinfo(std::string(reinterpret_cast<const char*>(data), size));
    (void)quarnel::platform::FindCgroup2Root(mountinfo);
    return 0;
}
