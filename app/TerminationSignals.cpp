#include "app/TerminationSignals.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>

namespace quarnel {

namespace {

constexpr std::array<int, 3> Handled = {SIGTERM, SIGINT, SIGHUP};

// The write end for the handler: a signal handler can reach nothing else.
volatile std::sig_atomic_t SignalPipe = -1;

void OnSignal(int /*number*/) {
    const int savedErrno = errno;
    const char byte = 1;
    // A full pipe already holds a request; nothing is lost by dropping this one. Kept in a
    // variable: glibc's fortified write warns on a result cast to void.
    [[maybe_unused]] const ssize_t written = ::write(SignalPipe, &byte, 1);
    errno = savedErrno;
}

void SetHandler(int number, void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    (void)::sigaction(number, &action, nullptr);  // valid signal numbers only
}

}  // namespace

TerminationSignals::TerminationSignals() {
    int ends[2] = {-1, -1};
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) {
        return;  // without a pipe the signals keep their default action: the process ends
    }
    readEnd_.Reset(ends[0]);
    writeEnd_.Reset(ends[1]);
    SignalPipe = writeEnd_.Get();
    notifier_ = std::make_unique<QSocketNotifier>(readEnd_.Get(), QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, &TerminationSignals::Drain);
    for (const int number : Handled) {
        SetHandler(number, OnSignal);
    }
}

TerminationSignals::~TerminationSignals() {
    if (notifier_) {
        for (const int number : Handled) {
            SetHandler(number, SIG_DFL);
        }
        SignalPipe = -1;
    }
}

void TerminationSignals::Drain() {
    std::array<char, 64> bytes{};
    while (::read(readEnd_.Get(), bytes.data(), bytes.size()) > 0) {
    }
    emit Requested();
}

}  // namespace quarnel
