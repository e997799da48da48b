#include "bench/RunningService.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "bench/BenchSupport.h"
#include "bench/ProcessTree.h"

namespace quarnel::bench {

RunningService::RunningService(const std::string& program, int blockedRemotePort) {
    char folder[] = "/tmp/quarnel-namespace-bench-XXXXXX";
    if (mkdtemp(folder) == nullptr) {
        Fail("mkdtemp");
    }
    folder_ = folder;
    const std::string rules = (folder_ / "Quarnel.ini").string();
    const std::string log = (folder_ / "log").string();
    {
        std::ofstream ini(rules);
        ini << "[General]\nAllowedIPString=\nBlockedLocalPortsString=\n"
            << "BlockedRemotePortsString=" << blockedRemotePort << "\n";
        if (!ini.flush()) {
            Fail("write the rules");
        }
    }
    std::fflush(nullptr);
    pid_ = fork();
    if (pid_ < 0) {
        Fail("fork");
    }
    if (pid_ == 0) {
        const UniqueFd out(open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
        if (!out || dup2(out.Get(), STDOUT_FILENO) < 0 || dup2(out.Get(), STDERR_FILENO) < 0) {
            Fail("the service's log");
        }
        // As systemd starts it: no home, no display, no state folder.
        char path[] = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";
        char* environment[] = {path, nullptr};
        execle(program.c_str(), program.c_str(), "--config", rules.c_str(),
               static_cast<char*>(nullptr), environment);
        Fail(program);
    }
}

RunningService::~RunningService() {
    using namespace std::chrono_literals;
    if (ended_) {
        std::fprintf(stderr, "quarneld ended by itself; its output:\n%s", Output().c_str());
    } else {
        (void)kill(pid_, SIGTERM);
    }
    for (int i = 0; i < 100 && Running(); ++i) {
        std::this_thread::sleep_for(100ms);
    }
    if (!ended_) {
        (void)kill(pid_, SIGKILL);
        (void)waitpid(pid_, nullptr, 0);  // reaped; how it ended was told above
        std::fprintf(stderr, "quarneld did not end within 10 s of SIGTERM\n");
    }
    std::error_code ignored;  // a folder left in /tmp harms nothing
    std::filesystem::remove_all(folder_, ignored);
}

pid_t RunningService::Netns() const {
    const std::vector<pid_t> children = Children(pid_);
    return children.empty() ? -1 : children.front();
}

bool RunningService::Running() const {
    ended_ = ended_ || waitpid(pid_, nullptr, WNOHANG) != 0;
    return !ended_;
}

std::string RunningService::Output() const {
    std::ifstream log(folder_ / "log");
    std::ostringstream text;
    text << log.rdbuf();
    return text.str();
}

int RunningService::LinesWith(const std::string& text) const {
    std::istringstream lines(Output());
    int count = 0;
    for (std::string line; std::getline(lines, line);) {
        count += line.find(text) != std::string::npos;
    }
    return count;
}

}  // namespace quarnel::bench
