#pragma once

#include <sys/types.h>

#include <functional>
#include <thread>
#include <utility>

#include "bench/BenchSupport.h"

// A container's network as the service sees it: a child process in a network namespace of its
// own, loopback up, holding established loopback connections until it is dropped.
namespace quarnel::bench {

class NamespaceHolder {
public:
    // Starts the child; it opens its connections meanwhile (see WaitReady), to a listener at
    // port (0: one the system chose).
    explicit NamespaceHolder(int connections, int port = 0);
    ~NamespaceHolder();
    NamespaceHolder(const NamespaceHolder&) = delete;
    NamespaceHolder& operator=(const NamespaceHolder&) = delete;

    // Whether the child holds its connections; false when it failed.
    bool WaitReady();
    pid_t Pid() const { return pid_; }
    // Runs body on a new thread of this process that entered the namespace, for the caller to
    // join: the sockets it opens are the namespace's, and stay so on any thread.
    std::thread Enter(std::function<void()> body) const;
    // The same, waited for.
    void Inside(std::function<void()> body) const { Enter(std::move(body)).join(); }

private:
    pid_t pid_ = -1;
    UniqueFd ready_;
    bool held_ = false;
};

}  // namespace quarnel::bench
