#pragma once

namespace quarnel::platform {

// Whose connections a kernel program watches: those of this process's network namespace, or
// those of every namespace (the service that guards them all); loaded into the program as the
// namespace it keeps to, 0 for every one. The packet filter's table always holds its own
// namespace's alone.
enum class NamespaceScope { Own, Every };

}  // namespace quarnel::platform
