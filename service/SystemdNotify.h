#pragma once

#include <string>

namespace quarnel {

// Tells systemd about the service ("READY=1", "STATUS=...", "RELOADING=1") when systemd started
// it and waits for word (Type=notify); does nothing otherwise, or where built without libsystemd.
void NotifySystemd(const std::string& state);

}  // namespace quarnel
