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

    // The header of the next message, with room for its payload; every message asks for an
    // acknowledgement, so that each one is answered.
    nlmsghdr* Add(std::uint16_t type, std::uint16_t flags = 0);
    // After the payload of the message Add gave: it then counts.
    void Close();
    // The whole transaction, ended; valid until the next Add.
    const std::vector<char>& Finish();
    // How many messages the kernel answers.
    int Answers() const { return answers_; }

private:
    std::uint32_t& sequence_;
    std::vector<char> buffer_;
    std::size_t used_ = 0;
    std::size_t open_ = 0;  // where the message being built starts
    int answers_ = 0;
};

}  // namespace quarnel::platform
