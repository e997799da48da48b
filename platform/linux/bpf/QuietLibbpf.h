#pragma once

#include <bpf/libbpf.h>

#include <cstdarg>

namespace quarnel::platform {

// Turns libbpf's own diagnostics off: they would go to a terminal the user never sees, and the
// one reason a loader gives is what the user is told.
inline void QuietLibbpf() {
    // Returns the previous printer, which is not wanted back.
    (void)libbpf_set_print([](libbpf_print_level, const char*, va_list) { return 0; });
}

}  // namespace quarnel::platform
