#include "tests/support/OtherNamespace.h"

#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>

#include "tests/support/PrivateNetwork.h"

namespace quarnel::testsupport {

OtherNamespace::OtherNamespace() {
    int ready[2], end[2];
    EXPECT_EQ(::pipe2(ready, O_CLOEXEC), 0);
    EXPECT_EQ(::pipe2(end, O_CLOEXEC), 0);
    const platform::UniqueFd readEnd(ready[0]), writeEnd(ready[1]), endRead(end[0]);
    endWrite.Reset(end[1]);
    std::fflush(nullptr);
    pid = ::fork();
    if (pid == 0) {
        // Only system calls here.
        (void)::prctl(PR_SET_PDEATHSIG, SIGKILL);
        endWrite.Reset();
        const char ok = ::unshare(CLONE_NEWNET) == 0 && BringLoopbackUp();
        (void)!::write(writeEnd.Get(), &ok, 1);
        char none = 0;
        (void)!::read(endRead.Get(), &none, 1);
        ::_exit(0);
    }
    char ok = 0;
    EXPECT_EQ(::read(readEnd.Get(), &ok, 1), 1);
    EXPECT_EQ(ok, 1) << "the child has no namespace of its own";
    struct stat status {};
    EXPECT_EQ(::stat(("/proc/" + std::to_string(pid) + "/ns/net").c_str(), &status), 0);
    Inode = static_cast<std::uint32_t>(status.st_ino);
    Name = "net:[" + std::to_string(status.st_ino) + "]";
}

OtherNamespace::~OtherNamespace() {
    endWrite.Reset();
    (void)::waitpid(pid, nullptr, 0);
}

}  // namespace quarnel::testsupport
