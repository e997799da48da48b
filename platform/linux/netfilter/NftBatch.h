#pragma once

#include <cstdint>
#include <vector>

struct nlmsghdr;

namespace quarnel::platform {

// One nf_tables transaction as netlink messages: the kernel applies all of them or none, so a
// packet sees either the old rules or the new ones.
class NftBatch {
public:
    explicit NftBatch(std::uint32_t& sequence);

    // The header of the next message, with room for its payload.
    nlmsghdr* Add(std::uint16_t type, std::uint16_t flags = 0);
    // After the payload of the message Add gave: it then counts.
    void Close();
    // The whole transaction, ended; valid until the next Add. Only its last message asks for
    // an acknowledgement (a rejected one is answered anyway): one answer each would overflow
    // the socket's receive buffer on a long list.
    const std::vector<char>& Finish();

private:
    std::uint32_t& sequence_;
    std::vector<char> buffer_;
    std::size_t used_ = 0;
    std::size_t open_ = 0;  // where the last message starts
};

}  // namespace quarnel::platform
