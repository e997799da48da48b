#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "platform/IpAddress.h"
#include "platform/linux/UniqueFd.h"
#include "platform/linux/netfilter/NftLayout.h"

namespace quarnel::platform {

// A TCP segment the packet filter's table told of, as it travelled.
struct LoggedSegment {
    bool IPv6 = false;
    bool Arriving = false;  // told as it arrived, for the receiving end (else for the sender)
    IpAddress Source{}, Destination{};  // an IPv4 segment's IPv4-mapped
    std::uint16_t SourcePort = 0, DestinationPort = 0;
};

// This process's log group of nfnetlink_log, which the packet filter's table tells of blocked
// connections through (see LogRule), read without waiting. Only this network namespace's table
// reaches it. Needs CAP_NET_ADMIN to bind; the group is unbound when it is dropped.
class PacketLog final {
public:
    // Binds a group nobody else has (the window program and the service may both run); nullptr,
    // with error set to the system's error number, when the system has no log groups or denies
    // them. rule's Rate and Burst go into the rule it gives.
    static std::unique_ptr<PacketLog> Open(int& error, LogRule rule = {});

    // The rule for the table, with the group bound.
    const LogRule& Rule() const { return rule_; }
    // Readable while segments wait.
    int Descriptor() const { return socket_.Get(); }
    // Hands every waiting segment to sink. False when some were lost: the socket overflowed, the
    // table told that its limit held some back, a segment could not be read, or the socket
    // failed; then only a whole read of the TCP table tells what they were.
    [[nodiscard]] bool Drain(const std::function<void(const LoggedSegment&)>& sink);

    PacketLog(UniqueFd socket, LogRule rule) : socket_(std::move(socket)), rule_(rule) {}

private:
    UniqueFd socket_;
    LogRule rule_;
    std::vector<char> buffer_;  // one read's messages
};

}  // namespace quarnel::platform
