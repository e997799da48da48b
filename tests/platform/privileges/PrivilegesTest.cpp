// What the privileged programs share, in this process: their end of the socket pair, over a real
// SOCK_SEQPACKET pair (what it takes of a request, what it refuses whatever the conversation, what
// it sends, and how it tells the other end's going from a failure); what the process may still
// open; and how a program finds the privileged program it starts.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <optional>
#include <span>
#include <vector>

#include "platform/linux/UniqueFd.h"
#include "platform/linux/privileges/ProcessRights.h"
#include "platform/linux/privileges/ProgramBeside.h"
#include "platform/linux/privileges/RequestSocket.h"

namespace quarnel::platform {
namespace {

struct Pair {
    int fds[2] = {-1, -1};
    const bool made = ::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) == 0;
    UniqueFd program{fds[0]};  // the starter's end
    UniqueFd served{fds[1]};   // the privileged program's
};

UniqueFd OpenNull() {
    return UniqueFd(::open("/dev/null", O_RDONLY | O_CLOEXEC));
}

// The lowest descriptor number free in this process, where the next one received would land.
int LowestFree() {
    return OpenNull().Get();
}

// One message as the starter reads it: its bytes, and the descriptor along (closed when none).
struct Received {
    std::vector<std::uint8_t> bytes;
    UniqueFd along;
};
Received ReceiveMessage(int socket) {
    Received got;
    got.bytes.resize(64);
    iovec part{got.bytes.data(), got.bytes.size()};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    alignas(cmsghdr) std::array<char, CMSG_SPACE(sizeof(int))> control{};
    message.msg_control = control.data();
    message.msg_controllen = control.size();
    const ssize_t length = ::recvmsg(socket, &message, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    got.bytes.resize(length > 0 ? static_cast<std::size_t>(length) : 0);
    if (const cmsghdr* header = CMSG_FIRSTHDR(&message);
        length >= 0 && header != nullptr && header->cmsg_type == SCM_RIGHTS) {
        int fd = -1;
        std::memcpy(&fd, CMSG_DATA(header), sizeof fd);
        got.along = UniqueFd(fd);
    }
    return got;
}

// A request longer than the bound is cut and told by its whole length; an empty message is a
// request (too short to be one), not the end; one that brings a descriptor or credentials is
// malformed however sound its bytes, and what came along never lands in this process.
TEST(RequestSocket, TakesRequestsUpToItsBoundAndNothingThatComesAlong) {
    Pair pair;
    ASSERT_TRUE(pair.made);
    RequestSocket socket(pair.served.Get(), 8);
    // The starter's end, sent through as the other end sends: replies are tested below.
    RequestSocket starter(pair.program.Get(), 0);
    const std::vector<std::uint8_t> longer(12, 7);
    ASSERT_TRUE(starter.Send(longer));
    std::optional<RequestSocket::Message> message = socket.Receive();
    ASSERT_TRUE(message);
    EXPECT_EQ(std::vector(message->Bytes.begin(), message->Bytes.end()),
              std::vector<std::uint8_t>(8, 7));
    EXPECT_EQ(message->Length, 12u);
    EXPECT_FALSE(message->Ancillary);
    EXPECT_EQ(message->Checked(Refusal::None), Refusal::None);

    ASSERT_TRUE(starter.Send({}));
    message = socket.Receive();
    ASSERT_TRUE(message) << "an empty message taken for the end";
    EXPECT_EQ(message->Length, 0u);
    EXPECT_TRUE(message->Bytes.empty());

    const UniqueFd along = OpenNull();
    const int free = LowestFree();
    const std::array<std::uint8_t, 3> sound{1, 2, 3};
    ASSERT_TRUE(starter.Send(sound, along.Get()));
    message = socket.Receive();
    ASSERT_TRUE(message);
    EXPECT_EQ(message->Length, sound.size());
    EXPECT_TRUE(message->Ancillary);
    EXPECT_EQ(message->Checked(Refusal::None), Refusal::Malformed);
    EXPECT_EQ(message->Checked(Refusal::WrongVersion), Refusal::WrongVersion);
    EXPECT_EQ(LowestFree(), free) << "the descriptor sent along landed here";
    EXPECT_FALSE(socket.Ended());
}

// Replies go whole, with the one descriptor asked for; the starter's going ends the conversation
// on a read as on a send, while a socket that fails is a failure, with its error.
TEST(RequestSocket, SendsRepliesWholeAndTellsTheStartersGoingFromAFailure) {
    Pair pair;
    ASSERT_TRUE(pair.made);
    RequestSocket socket(pair.served.Get(), 8);
    const std::array<std::uint8_t, 40> reply{4, 5, 6};  // longer than a request may be
    const UniqueFd given = OpenNull();
    ASSERT_TRUE(socket.Send(reply, given.Get()));
    Received got = ReceiveMessage(pair.program.Get());
    EXPECT_EQ(got.bytes, std::vector(reply.begin(), reply.end()));
    ASSERT_TRUE(got.along);
    struct stat sent {};
    struct stat arrived {};
    ASSERT_TRUE(::fstat(given.Get(), &sent) == 0 && ::fstat(got.along.Get(), &arrived) == 0);
    EXPECT_EQ(arrived.st_ino, sent.st_ino);
    ASSERT_TRUE(socket.Send(std::span(reply).first(2)));
    got = ReceiveMessage(pair.program.Get());
    EXPECT_EQ(got.bytes, (std::vector<std::uint8_t>{4, 5}));
    EXPECT_FALSE(got.along);
    EXPECT_EQ(socket.After(true, ServeStep::Refused), ServeStep::Refused);

    pair.program.Reset();
    EXPECT_FALSE(socket.Receive());
    EXPECT_TRUE(socket.Ended());
    EXPECT_EQ(socket.After(false, ServeStep::Answered), ServeStep::Ended);
    RequestSocket answering(pair.served.Get(), 8);
    EXPECT_FALSE(answering.Send(reply));
    EXPECT_TRUE(answering.Ended());

    const UniqueFd notSocket = OpenNull();
    RequestSocket broken(notSocket.Get(), 8);
    EXPECT_FALSE(broken.Receive());
    EXPECT_FALSE(broken.Ended());
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
    if (before.rlim_cur != RLIM_INFINITY) {
        EXPECT_EQ(FreeDescriptors(), *free + (before.rlim_cur - 100));
    }
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
