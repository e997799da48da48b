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
    if (::sigprocmask(SIG_BLOCK, &set, &Previous) != 0) {
        return;
    }
    Fd.Reset(::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK));
    if (!Fd) {
        (void)::sigprocmask(SIG_SETMASK, &Previous, nullptr);  // the default actions, then
    }
}

ServiceSignals::~ServiceSignals() {
    if (Fd) {
        Fd.Reset();
        (void)::sigprocmask(SIG_SETMASK, &Previous, nullptr);  // a set taken from the kernel
    }
}

ServiceSignals::Request ServiceSignals::Take() {
    Request request = Request::None;
    signalfd_siginfo info{};
    while (Fd && ::read(Fd.Get(), &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        const bool stop = info.ssi_signo != SIGHUP;
        if (stop || request == Request::None) {
            request = stop ? Request::Stop : Request::Reload;
            Name = sigabbrev_np(static_cast<int>(info.ssi_signo));
        }
    }
    return request;
}

}  // namespace quarnel
