#include "bench/NamespaceHolder.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace quarnel::bench {

NamespaceHolder::NamespaceHolder(int connections, int port) {
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0) {
        Fail("pipe");
    }
    std::fflush(nullptr);  // nothing buffered is written twice
    pid_ = fork();
    if (pid_ < 0) {
        Fail("fork");
    }
    if (pid_ == 0) {
        close(ready[0]);
        (void)prctl(PR_SET_PDEATHSIG, SIGKILL);  // at worst it lingers until the benchmark ends
        if (unshare(CLONE_NEWNET) != 0) {
            Fail("unshare(CLONE_NEWNET)");
        }
        BringLoopbackUp();
        const std::vector<UniqueFd> held = OpenConnections(connections, port);
        if (write(ready[1], "r", 1) != 1) {
            _exit(1);
        }
        for (;;) {
            pause();
        }
    }
    close(ready[1]);
    ready_.Reset(ready[0]);
}

NamespaceHolder::~NamespaceHolder() {
    (void)kill(pid_, SIGKILL);        // it only waits to be killed
    (void)waitpid(pid_, nullptr, 0);  // reaped; its end tells nothing
}

bool NamespaceHolder::WaitReady() {
    if (ready_) {
        char answer = 0;
        held_ = read(ready_.Get(), &answer, 1) == 1;
        ready_.Reset();
    }
    return held_;
}

std::thread NamespaceHolder::Enter(std::function<void()> body) const {
    return std::thread([pid = pid_, body = std::move(body)] {
        const std::string path = "/proc/" + std::to_string(pid) + "/ns/net";
        const UniqueFd space(open(path.c_str(), O_RDONLY | O_CLOEXEC));
        if (!space || setns(space.Get(), CLONE_NEWNET) != 0) {
            Fail("entering " + path);
        }
        body();
    });
}

}  // namespace quarnel::bench
