#pragma once

#include <sys/types.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/linux/UniqueFd.h"
#include "platform/linux/netns/NamespaceProtocol.h"

namespace quarnel::platform {

// The service's side of quarnel-netns: starts it and asks it, one question at a time, for the
// network namespaces of the processes in the cgroups it sees and for sock_diag sockets opened
// inside them. No other process can reach the conversation: there is no path and no listening
// socket. Dropping it kills and reaps quarnel-netns.
class NamespaceOpener {
public:
    // Starts the program at path with no arguments, an empty environment and CAP_SYS_ADMIN,
    // CAP_SYS_PTRACE and CAP_NET_ADMIN as ambient capabilities (those of them this process
    // holds; without all three quarnel-netns ends at once, saying so on stderr). Its end of a
    // fresh socketpair is on its descriptor 3. Call it from the main thread: quarnel-netns is
    // killed when the thread that started it ends. nullptr, with problem, when it cannot be
    // started. Each question waits at most timeout for its answer.
    [[nodiscard]] static std::unique_ptr<NamespaceOpener> Start(
        const std::string& path, std::string& problem,
        std::chrono::milliseconds timeout = std::chrono::seconds(5));

    NamespaceOpener(pid_t pid, UniqueFd socket, std::chrono::milliseconds timeout)
        : pid_(pid), socket_(std::move(socket)), timeout_(timeout) {}
    NamespaceOpener(const NamespaceOpener&) = delete;
    NamespaceOpener& operator=(const NamespaceOpener&) = delete;
    ~NamespaceOpener();

    // The distinct network namespaces of the processes in the cgroups quarnel-netns sees, its
    // own (which is this process's) among them, flagged. False, with problem, when it refused
    // or broke.
    [[nodiscard]] bool ListNamespaces(std::vector<NetworkNamespace>& namespaces,
                                      std::string& problem);
    // A NETLINK_SOCK_DIAG socket opened inside the network namespace with inode that process pid
    // is in (as ListNamespaces named them). Closing a connection through it needs CAP_NET_ADMIN
    // of this process too. Empty, with problem, when it was refused (the process gone, in
    // another namespace, outside the cgroups seen) or quarnel-netns broke.
    [[nodiscard]] UniqueFd OpenSockDiag(pid_t pid, std::uint64_t inode, std::string& problem);

    pid_t Pid() const { return pid_; }
    // This process's end of the conversation.
    int Socket() const { return socket_.Get(); }

private:
    [[nodiscard]] bool Ask(const NamespaceRequest& request, std::string& problem);
    // Waits for the next message of the answer until deadline and decodes it; a descriptor
    // sent along goes to fd.
    [[nodiscard]] bool Receive(std::chrono::steady_clock::time_point deadline,
                               NamespaceReply& reply, std::vector<NetworkNamespace>& entries,
                               UniqueFd& fd, std::string& problem);

    pid_t pid_;
    UniqueFd socket_;
    std::chrono::milliseconds timeout_;
    std::uint32_t sequence_ = 0;
    std::array<std::uint8_t, kMaxNamespaceReplySize> buffer_{};
    std::vector<NetworkNamespace> received_;  // the entries of the message just received
};

}  // namespace quarnel::platform
