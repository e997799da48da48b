#include "service/ServiceSignals.h"

#include <sys/signalfd.h>
#include <unistd.h>

#include <cstring>

namespace quarnel {

namespace {

sigset_t Handled() {
    sigset_t set;
    sigemptyset(&set);
    for (const int number : {SIGTERM, SIGINT, SIGHUP}) {
        (void)sigaddset(&set, number);  // valid signal numbers only
    }
    return set;
}

}  // namespace

ServiceSignals::ServiceSignals() {
    const sigset_t set = Handled();
    if (::sigprocmask(SIG_BLOCK, &set, &previous_) != 0) {
        return;
    }
    fd_.Reset(::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK));
    if (!fd_) {
        (void)::sigprocmask(SIG_SETMASK, &previous_, nullptr);  // the default actions, then
    }
}

ServiceSignals::~ServiceSignals() {
    if (fd_) {
        fd_.Reset();
        (void)::sigprocmask(SIG_SETMASK, &previous_, nullptr);  // a set taken from the kernel
    }
}

ServiceSignals::Request ServiceSignals::Take() {
    Request request = Request::None;
    signalfd_siginfo info{};
    while (fd_ && ::read(fd_.Get(), &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        const bool stop = info.ssi_signo != SIGHUP;
        if (stop || request == Request::None) {
            request = stop ? Request::Stop : Request::Reload;
            name_ = sigabbrev_np(static_cast<int>(info.ssi_signo));
        }
    }
    return request;
}

}  // namespace quarnel
