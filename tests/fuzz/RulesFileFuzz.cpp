// The rules file the service reads: whatever it holds, it is read as rules or refused whole.

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/linux/UniqueFd.h"
#include "service/RulesFile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The file in memory, named through this process's descriptors as the service names a path.
    const quarnel::platform::UniqueFd file(::memfd_create("rules", MFD_CLOEXEC));
    if (!file || ::write(file.Get(), data, size) != static_cast<ssize_t>(size)) {
        std::abort();  // no memory left: nothing this input did
    }
    const quarnel::RulesReading reading =
        quarnel::ReadRulesFile("/proc/self/fd/" + std::to_string(file.Get()));
    using Outcome = quarnel::RulesReading::Outcome;
    if ((reading.Result == Outcome::Read) == (reading.Values.empty() || !reading.Problem.empty())) {
        std::abort();  // rules are read, or refused with a reason: never both, never neither
    }
    return 0;
}
