#include "platform/linux/netfilter/NftBatch.h"

#include <libmnl/libmnl.h>
#include <libnftnl/common.h>
#include <linux/netfilter.h>

namespace quarnel::platform {

namespace {

// More than any one message of this table takes: a rule, or one chunk of set elements.
constexpr std::size_t kMessageRoom = 16 * 1024;

}  // namespace

NftBatch::NftBatch(std::uint32_t& sequence) : sequence_(sequence) {
    buffer_.resize(kMessageRoom);
    used_ = nftnl_batch_begin(buffer_.data(), sequence_++)->nlmsg_len;
}

nlmsghdr* NftBatch::Add(std::uint16_t type, std::uint16_t flags) {
    if (buffer_.size() - used_ < kMessageRoom) {
        buffer_.resize(buffer_.size() * 2 + kMessageRoom);
    }
    open_ = used_;
    return nftnl_nlmsg_build_hdr(&buffer_[used_], type, NFPROTO_INET, flags, sequence_++);
}

void NftBatch::Close() {
    used_ += MNL_ALIGN(reinterpret_cast<nlmsghdr*>(&buffer_[open_])->nlmsg_len);
}

const std::vector<char>& NftBatch::Finish() {
    reinterpret_cast<nlmsghdr*>(&buffer_[open_])->nlmsg_flags |= NLM_F_ACK;
    if (buffer_.size() - used_ < kMessageRoom) {
        buffer_.resize(buffer_.size() + kMessageRoom);
    }
    used_ += nftnl_batch_end(&buffer_[used_], sequence_++)->nlmsg_len;
    buffer_.resize(used_);
    return buffer_;
}

}  // namespace quarnel::platform
