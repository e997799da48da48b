#pragma once

#include <csignal>

#include "platform/linux/UniqueFd.h"

namespace quarnel {

// SIGTERM, SIGINT and SIGHUP as readings of a descriptor the main loop waits on: they are
// blocked for the process, so none interrupts a pass, and each is acted on between passes.
class ServiceSignals {
public:
    enum class Request { None, Reload, Stop };

    ServiceSignals();
    ~ServiceSignals();  // the previous signal mask again
    ServiceSignals(const ServiceSignals&) = delete;
    ServiceSignals& operator=(const ServiceSignals&) = delete;

    // -1 when the signals could not be routed here; they then keep their default actions.
    int Descriptor() const { return fd_.Get(); }
    // What the signals that came ask for: Stop over Reload; None when none came.
    Request Take();
    // The name of the signal behind the last Take, for the log.
    const char* LastName() const { return name_; }

private:
    sigset_t previous_{};
    platform::UniqueFd fd_;
    const char* name_ = "";
};

}  // namespace quarnel
