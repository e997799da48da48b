// What the privileged programs share, in this process: what never comes through their end of the
// socket pair (what it takes of a request and sends back, the conversations with quarnel-helper
// and quarnel-netns show), what the process may still open, and how a program finds the privileged
// program it starts.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <optional>

#include "platform/linux/UniqueFd.h"
#include "platform/linux/privileges/ProcessRights.h"
#include "platform/linux/privileges/ProgramBeside.h"
#include "platform/linux/privileges/RequestSocket.h"

namespace quarnel::platform {
namespace {

UniqueFd OpenNull() {
    return UniqueFd(::open("/dev/null", O_RDONLY | O_CLOEXEC));
}

// A descriptor sent along never lands in this process; the starter's going ends the conversation
// on a read as on a send, while a socket that fails is a failure, with its error.
TEST(RequestSocket, NothingSentAlongLandsAndTheStartersGoingIsToldFromAFailure) {
    int fds[2] = {-1, -1};
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds), 0);
    UniqueFd program(fds[0]);
    const UniqueFd served(fds[1]);
    RequestSocket socket(served.Get(), 8);
    RequestSocket starter(program.Get(), 0);
    const UniqueFd along = OpenNull();
    const int free = OpenNull().Get();  // where the next descriptor received would land
    const std::array<std::uint8_t, 3> sound{1, 2, 3};
    ASSERT_TRUE(starter.Send(sound, along.Get()));
    const std::optional<RequestSocket::Message> message = socket.Receive();
    ASSERT_TRUE(message && message->Ancillary);
    EXPECT_EQ(OpenNull().Get(), free) << "the descriptor sent along landed here";

    program.Reset();
    EXPECT_FALSE(socket.Receive());
    EXPECT_EQ(socket.After(false, ServeStep::Answered), ServeStep::Ended);
    RequestSocket answering(served.Get(), 8);
    EXPECT_FALSE(answering.Send(sound));
    EXPECT_TRUE(answering.Ended());

    RequestSocket broken(along.Get(), 8);
    EXPECT_FALSE(broken.Receive());
    EXPECT_EQ(broken.Error(), ENOTSOCK);
    EXPECT_EQ(broken.After(false, ServeStep::Answered), ServeStep::Failed);
}

// What the process may still open: the soft open-files limit less the descriptors it holds.
TEST(ProcessRights, FreeDescriptorsAreWhatTheSoftLimitLeaves) {
    rlimit before{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &before), 0);
    rlimit low = before;
    low.rlim_cur = 100;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    const std::optional<std::size_t> free = FreeDescriptors();
    ASSERT_TRUE(free.has_value());
    EXPECT_LT(*free, 100u);
    {
        const UniqueFd one(::open("/dev/null", O_RDONLY | O_CLOEXEC));
        ASSERT_TRUE(one);
        EXPECT_EQ(FreeDescriptors(), *free - 1);
    }
    EXPECT_EQ(FreeDescriptors(), free);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &before), 0);
}

// Only beside its own executable, in the folders it names, in their order.
TEST(ProgramBeside, TheFirstFolderThatHoldsItAsAFileWins) {
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe");
    const std::string name = self.filename().string();
    const std::string parent = self.parent_path().filename().string();
    // The same file by two ways: the first folder named that holds it.
    const std::string again = "../" + parent;
    EXPECT_EQ(FindProgramBeside(name.c_str(), {"no-such-folder", again.c_str(), "."}),
              self.string());
    // Its folder is no program, nor what is nowhere; nothing is looked for elsewhere.
    EXPECT_EQ(FindProgramBeside(parent.c_str(), {".."}), "");
    EXPECT_EQ(FindProgramBeside("no-such-program", {".", ".."}), "");
    EXPECT_EQ(FindProgramBeside(name.c_str(), {}), "");
}

}  // namespace
}  // namespace quarnel::platform
