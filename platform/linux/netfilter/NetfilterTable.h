#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/BlockingRules.h"
#include "platform/linux/netfilter/NftLayout.h"

struct mnl_socket;

namespace quarnel::platform {

// The packet filter's stand-in for the kernel filter, where that cannot be attached: a table of
// this process's network namespace that drops every TCP segment with data on a connection the
// rules block, in and out (see NftLayout.h). The table is owned by this process's netlink
// socket: when the process ends, however it ends, the kernel removes it, so it never blocks
// anything with nobody left to lift it. Needs CAP_NET_ADMIN, for as long as it lives.
//
// It blocks nothing until it is given rules. It tells failures by the system's error numbers:
// what they mean for holding back payload is filter/'s to say.
class NetfilterTable final {
public:
    // The table, made; nullptr, with error set to the system's error number, when the system
    // will not make it. With log, it tells of the blocked connections it sees (see LogRule).
    static std::unique_ptr<NetfilterTable> Open(int& error, const LogRule* log = nullptr);

    // Replaces the rules so that no packet ever passes that both the old and the new rules
    // block: the sets hold the old and the new rules together first, then the new alone. 0, or
    // the system's error number when it refused them: the table then holds back nothing.
    [[nodiscard]] int SetRules(const BlockingRules& rules);

    // The table's name, as `nft list tables` shows it.
    const std::string& Name() const { return name_; }

    struct Closer {
        void operator()(mnl_socket* socket) const;
    };
    using Socket = std::unique_ptr<mnl_socket, Closer>;
    NetfilterTable(Socket socket, std::string name);  // through Open

private:
    // Empties the sets after a failure.
    void HoldNothing();
    // Returns once every run of the chains that began before has ended.
    static void WaitForRunsUnderWay();
    // Makes the sets hold to, in one transaction; the error it is rejected with, or 0.
    int Change(const SetContents& to);
    // Sends the transaction and reads every answer; the first rejection's error, or 0.
    int Commit(class NftBatch& batch);

    Socket socket_;
    std::string name_;
    std::uint32_t sequence_ = 1;
    SetContents held_;  // what the sets hold
};

}  // namespace quarnel::platform
