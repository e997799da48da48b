#include "platform/linux/netfilter/NftLayout.h"

#include <arpa/inet.h>
#include <libnftnl/chain.h>
#include <libnftnl/expr.h>
#include <libnftnl/rule.h>
#include <libnftnl/set.h>
#include <libnftnl/table.h>
#include <linux/netfilter.h>
#include <linux/netfilter/nf_tables.h>
#include <linux/netlink.h>
#include <netinet/in.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <iterator>
#include <memory>
#include <vector>

namespace quarnel::platform {

namespace {

struct Free {
    void operator()(nftnl_table* table) const { nftnl_table_free(table); }
    void operator()(nftnl_set* set) const { nftnl_set_free(set); }
    void operator()(nftnl_chain* chain) const { nftnl_chain_free(chain); }
    void operator()(nftnl_rule* rule) const { nftnl_rule_free(rule); }
};

// The sets, by the name rules look them up with.
constexpr const char* kLocalPorts = "blocked_local_ports";
constexpr const char* kRemotePorts = "blocked_remote_ports";
constexpr const char* kAllowedIPv4 = "allowed_ipv4";
constexpr const char* kAllowedIPv6 = "allowed_ipv6";
// The chains: segments of blocked ports go to the address check of their direction, and those
// of addresses not allowed to the look for data.
constexpr const char* kCheckIn = "check_in";
constexpr const char* kCheckOut = "check_out";
constexpr const char* kData = "data";
constexpr const char* kTell = "tell";

// nft's own names of the key types, so that `nft list table` shows the sets readably.
constexpr std::uint32_t kInetService = 13;
constexpr std::uint32_t kIPv4Address = 7;
constexpr std::uint32_t kIPv6Address = 8;

// What of a told segment goes to the log: its IP header (IPv4 options or IPv6 included) and the
// ports of its TCP header.
constexpr std::uint32_t kLoggedBytes = 128;

// Intervals per message, two elements each: well within the room NftBatch gives one message.
constexpr std::size_t kElementsPerMessage = 128;

// One rule, built expression by expression into register 1.
class RuleBuilder {
public:
    RuleBuilder(const std::string& table, const char* chain) : rule_(nftnl_rule_alloc()) {
        ok_ = rule_ && nftnl_rule_set_str(rule_.get(), NFTNL_RULE_TABLE, table.c_str()) == 0 &&
              nftnl_rule_set_str(rule_.get(), NFTNL_RULE_CHAIN, chain) == 0;
        if (ok_) {
            nftnl_rule_set_u32(rule_.get(), NFTNL_RULE_FAMILY, NFPROTO_INET);
        }
    }

    RuleBuilder& Meta(std::uint32_t key) {
        if (nftnl_expr* e = Expression("meta")) {
            nftnl_expr_set_u32(e, NFTNL_EXPR_META_KEY, key);
            nftnl_expr_set_u32(e, NFTNL_EXPR_META_DREG, NFT_REG_1);
        }
        return *this;
    }
    RuleBuilder& Payload(std::uint32_t base, std::uint32_t offset, std::uint32_t length) {
        if (nftnl_expr* e = Expression("payload")) {
            nftnl_expr_set_u32(e, NFTNL_EXPR_PAYLOAD_DREG, NFT_REG_1);
            nftnl_expr_set_u32(e, NFTNL_EXPR_PAYLOAD_BASE, base);
            nftnl_expr_set_u32(e, NFTNL_EXPR_PAYLOAD_OFFSET, offset);
            nftnl_expr_set_u32(e, NFTNL_EXPR_PAYLOAD_LEN, length);
        }
        return *this;
    }
    // Keeps the bits of mask in a register of one byte.
    RuleBuilder& Mask(std::uint8_t mask) {
        if (nftnl_expr* e = Expression("bitwise")) {
            const std::uint8_t none = 0;
            nftnl_expr_set_u32(e, NFTNL_EXPR_BITWISE_SREG, NFT_REG_1);
            nftnl_expr_set_u32(e, NFTNL_EXPR_BITWISE_DREG, NFT_REG_1);
            nftnl_expr_set_u32(e, NFTNL_EXPR_BITWISE_LEN, 1);
            ok_ = ok_ && nftnl_expr_set(e, NFTNL_EXPR_BITWISE_MASK, &mask, 1) == 0 &&
                  nftnl_expr_set(e, NFTNL_EXPR_BITWISE_XOR, &none, 1) == 0;
        }
        return *this;
    }
    // The 4-byte register in network order, as a greater-than comparison needs it.
    RuleBuilder& ToNetworkOrder() {
        if (nftnl_expr* e = Expression("byteorder")) {
            nftnl_expr_set_u32(e, NFTNL_EXPR_BYTEORDER_SREG, NFT_REG_1);
            nftnl_expr_set_u32(e, NFTNL_EXPR_BYTEORDER_DREG, NFT_REG_1);
            nftnl_expr_set_u32(e, NFTNL_EXPR_BYTEORDER_OP, NFT_BYTEORDER_HTON);
            nftnl_expr_set_u32(e, NFTNL_EXPR_BYTEORDER_LEN, 4);
            nftnl_expr_set_u32(e, NFTNL_EXPR_BYTEORDER_SIZE, 4);
        }
        return *this;
    }
    RuleBuilder& Compare(std::uint32_t op, const void* data, std::uint32_t length) {
        if (nftnl_expr* e = Expression("cmp")) {
            nftnl_expr_set_u32(e, NFTNL_EXPR_CMP_SREG, NFT_REG_1);
            nftnl_expr_set_u32(e, NFTNL_EXPR_CMP_OP, op);
            ok_ = ok_ && nftnl_expr_set(e, NFTNL_EXPR_CMP_DATA, data, length) == 0;
        }
        return *this;
    }
    RuleBuilder& Is(std::uint8_t value) { return Compare(NFT_CMP_EQ, &value, 1); }
    // Goes on while at most rate packets a second (burst at once) have.
    RuleBuilder& Limit(std::uint64_t rate, std::uint32_t burst) {
        if (nftnl_expr* e = Expression("limit")) {
            nftnl_expr_set_u64(e, NFTNL_EXPR_LIMIT_RATE, rate);
            nftnl_expr_set_u64(e, NFTNL_EXPR_LIMIT_UNIT, 1);  // seconds
            nftnl_expr_set_u32(e, NFTNL_EXPR_LIMIT_BURST, burst);
            nftnl_expr_set_u32(e, NFTNL_EXPR_LIMIT_TYPE, NFT_LIMIT_PKTS);
        }
        return *this;
    }
    // Hands the packet's headers to the log group, at once rather than batched.
    RuleBuilder& Log(std::uint16_t group, const char* prefix = nullptr) {
        if (nftnl_expr* e = Expression("log")) {
            nftnl_expr_set_u16(e, NFTNL_EXPR_LOG_GROUP, group);
            nftnl_expr_set_u32(e, NFTNL_EXPR_LOG_SNAPLEN, kLoggedBytes);
            nftnl_expr_set_u16(e, NFTNL_EXPR_LOG_QTHRESHOLD, 1);
            if (prefix != nullptr) {
                ok_ = ok_ && nftnl_expr_set_str(e, NFTNL_EXPR_LOG_PREFIX, prefix) == 0;
            }
        }
        return *this;
    }
    RuleBuilder& In(const char* set) {
        if (nftnl_expr* e = Expression("lookup")) {
            nftnl_expr_set_u32(e, NFTNL_EXPR_LOOKUP_SREG, NFT_REG_1);
            ok_ = ok_ && nftnl_expr_set_str(e, NFTNL_EXPR_LOOKUP_SET, set) == 0;
        }
        return *this;
    }
    RuleBuilder& Verdict(int verdict, const char* chain = nullptr) {
        if (nftnl_expr* e = Expression("immediate")) {
            nftnl_expr_set_u32(e, NFTNL_EXPR_IMM_DREG, NFT_REG_VERDICT);
            nftnl_expr_set_u32(e, NFTNL_EXPR_IMM_VERDICT, static_cast<std::uint32_t>(verdict));
            if (chain != nullptr) {
                ok_ = ok_ && nftnl_expr_set_str(e, NFTNL_EXPR_IMM_CHAIN, chain) == 0;
            }
        }
        return *this;
    }

    // The IP version of the packet, then TCP.
    RuleBuilder& Family(std::uint8_t family) { return Meta(NFT_META_NFPROTO).Is(family); }
    RuleBuilder& Tcp() { return Meta(NFT_META_L4PROTO).Is(IPPROTO_TCP); }

    [[nodiscard]] bool AddTo(NftBatch& batch) {
        if (!ok_) {
            return false;
        }
        nftnl_rule_nlmsg_build_payload(batch.Add(NFT_MSG_NEWRULE, NLM_F_CREATE | NLM_F_APPEND),
                                       rule_.get());
        batch.Close();
        return true;
    }

private:
    nftnl_expr* Expression(const char* name) {
        nftnl_expr* e = ok_ ? nftnl_expr_alloc(name) : nullptr;
        if (e == nullptr) {
            ok_ = false;
            return nullptr;
        }
        nftnl_rule_add_expr(rule_.get(), e);  // the rule owns it from here
        return e;
    }

    std::unique_ptr<nftnl_rule, Free> rule_;
    bool ok_ = false;
};

std::unique_ptr<nftnl_set, Free> Set(const std::string& table, const char* name) {
    std::unique_ptr<nftnl_set, Free> set(nftnl_set_alloc());
    if (!set || nftnl_set_set_str(set.get(), NFTNL_SET_TABLE, table.c_str()) != 0 ||
        nftnl_set_set_str(set.get(), NFTNL_SET_NAME, name) != 0) {
        return nullptr;
    }
    nftnl_set_set_u32(set.get(), NFTNL_SET_FAMILY, NFPROTO_INET);
    return set;
}

bool AddSet(NftBatch& batch, const std::string& table, const char* name, std::uint32_t type,
            std::uint32_t length, std::uint32_t id) {
    auto set = Set(table, name);
    if (!set) {
        return false;
    }
    nftnl_set_set_u32(set.get(), NFTNL_SET_KEY_TYPE, type);
    nftnl_set_set_u32(set.get(), NFTNL_SET_KEY_LEN, length);
    nftnl_set_set_u32(set.get(), NFTNL_SET_ID, id);
    nftnl_set_set_u32(set.get(), NFTNL_SET_FLAGS, NFT_SET_INTERVAL);
    nftnl_set_nlmsg_build_payload(batch.Add(NFT_MSG_NEWSET, NLM_F_CREATE | NLM_F_EXCL), set.get());
    batch.Close();
    return true;
}

// hook < 0: a chain only jumped to.
bool AddChain(NftBatch& batch, const std::string& table, const char* name, int hook) {
    std::unique_ptr<nftnl_chain, Free> chain(nftnl_chain_alloc());
    if (!chain || nftnl_chain_set_str(chain.get(), NFTNL_CHAIN_TABLE, table.c_str()) != 0 ||
        nftnl_chain_set_str(chain.get(), NFTNL_CHAIN_NAME, name) != 0) {
        return false;
    }
    nftnl_chain_set_u32(chain.get(), NFTNL_CHAIN_FAMILY, NFPROTO_INET);
    if (hook >= 0) {
        if (nftnl_chain_set_str(chain.get(), NFTNL_CHAIN_TYPE, "filter") != 0) {
            return false;
        }
        nftnl_chain_set_u32(chain.get(), NFTNL_CHAIN_HOOKNUM, static_cast<std::uint32_t>(hook));
        nftnl_chain_set_s32(chain.get(), NFTNL_CHAIN_PRIO, 0);
        nftnl_chain_set_u32(chain.get(), NFTNL_CHAIN_POLICY, NF_ACCEPT);
    }
    nftnl_chain_nlmsg_build_payload(batch.Add(NFT_MSG_NEWCHAIN, NLM_F_CREATE | NLM_F_EXCL),
                                    chain.get());
    batch.Close();
    return true;
}

// The segments of a hook's direction whose local or remote port is blocked go to check; the
// local port is the destination of what arrives and the source of what leaves.
bool AddPortRules(NftBatch& batch, const std::string& table, const char* hook, bool arriving,
                  const char* check) {
    const std::uint32_t local = arriving ? 2 : 0;  // offsetof(tcphdr, dest) : source
    const std::uint32_t remote = arriving ? 0 : 2;
    return RuleBuilder(table, hook)
               .Tcp()
               .Payload(NFT_PAYLOAD_TRANSPORT_HEADER, local, 2)
               .In(kLocalPorts)
               .Verdict(NFT_JUMP, check)
               .AddTo(batch) &&
           RuleBuilder(table, hook)
               .Tcp()
               .Payload(NFT_PAYLOAD_TRANSPORT_HEADER, remote, 2)
               .In(kRemotePorts)
               .Verdict(NFT_JUMP, check)
               .AddTo(batch);
}

// A segment that leaves through loopback arrives on this machine too, a moment later: it is
// judged by the arriving end's view as it leaves, too. Else an edit that moves a port from one
// list to the other could let it pass both hooks, each before and after the edit.
bool AddLoopbackRules(NftBatch& batch, const std::string& table) {
    constexpr std::uint32_t kLoopbackIndex = 1;  // lo's index in every network namespace
    const auto rule = [&](std::uint32_t offset, const char* set) {
        return RuleBuilder(table, "output")
            .Meta(NFT_META_OIF)
            .Compare(NFT_CMP_EQ, &kLoopbackIndex, 4)
            .Tcp()
            .Payload(NFT_PAYLOAD_TRANSPORT_HEADER, offset, 2)
            .In(set)
            .Verdict(NFT_JUMP, kCheckIn)
            .AddTo(batch);
    };
    return rule(2, kLocalPorts) && rule(0, kRemotePorts);  // as input reads dest and source
}

// A segment that neither opens nor resets a connection (no SYN, no RST) goes to be told, as each
// end of this host sees it: as it leaves, by the sender's view, and as it arrives, by the
// receiver's, not as output judges a loopback segment by the receiver's view too. nf_tables has
// no "not set" for an input device on output: its index reads 0 there.
bool AddTellRule(NftBatch& batch, const std::string& table, const char* check, bool arriving) {
    constexpr std::uint32_t kNone = 0;
    RuleBuilder rule(table, check);
    rule.Payload(NFT_PAYLOAD_TRANSPORT_HEADER, 13, 1)  // the flags
        .Mask(0x06)                                    // SYN and RST
        .Is(0);
    if (arriving) {
        rule.Meta(NFT_META_IIF).Compare(NFT_CMP_NEQ, &kNone, 4);
    }
    return rule.Verdict(NFT_JUMP, kTell).AddTo(batch);
}

// What is told, to the limit, and past it that some were not.
bool AddLogRules(NftBatch& batch, const std::string& table, const LogRule& log) {
    return RuleBuilder(table, kTell)
               .Limit(log.Rate, log.Burst)
               .Log(log.Group)
               .Verdict(NFT_RETURN)
               .AddTo(batch) &&
           RuleBuilder(table, kTell).Limit(2, 1).Log(log.Group, kLostPrefix).AddTo(batch);
}

// An allowed remote address ends the look; any other goes on to be told (with log) and to the
// look for data.
bool AddAddressRules(NftBatch& batch, const std::string& table, const char* check, bool arriving,
                     const LogRule* log) {
    const std::uint32_t v4 = arriving ? 12 : 16;  // offsetof(iphdr, saddr) : daddr
    const std::uint32_t v6 = arriving ? 8 : 24;   // offsetof(ipv6hdr, saddr) : daddr
    return RuleBuilder(table, check)
               .Family(NFPROTO_IPV4)
               .Payload(NFT_PAYLOAD_NETWORK_HEADER, v4, 4)
               .In(kAllowedIPv4)
               .Verdict(NFT_RETURN)
               .AddTo(batch) &&
           RuleBuilder(table, check)
               .Family(NFPROTO_IPV6)
               .Payload(NFT_PAYLOAD_NETWORK_HEADER, v6, 16)
               .In(kAllowedIPv6)
               .Verdict(NFT_RETURN)
               .AddTo(batch) &&
           (log == nullptr || AddTellRule(batch, table, check, arriving)) &&
           RuleBuilder(table, check).Verdict(NFT_JUMP, kData).AddTo(batch);
}

// nf_tables cannot add two header lengths, so every TCP header length has its rule: a segment
// carries data when the packet is longer than its IP and TCP headers. The packet's own length,
// not the IP length field, which a large offloaded send may leave 0.
bool AddDataRules(NftBatch& batch, const std::string& table) {
    for (std::uint8_t words = 5; words <= 15; ++words) {
        const auto tcpHeader = static_cast<std::uint8_t>(words << 4);
        for (const bool ipv4 : {true, false}) {
            const std::uint32_t headers = (ipv4 ? 20u : 40u) + words * 4u;
            const std::uint32_t length = htonl(headers);
            RuleBuilder rule(table, kData);
            if (ipv4) {
                rule.Family(NFPROTO_IPV4)
                    .Payload(NFT_PAYLOAD_NETWORK_HEADER, 0, 1)
                    .Mask(0x0f)
                    .Is(5);
            } else {
                rule.Family(NFPROTO_IPV6).Payload(NFT_PAYLOAD_NETWORK_HEADER, 6, 1).Is(IPPROTO_TCP);
            }
            if (!rule.Payload(NFT_PAYLOAD_TRANSPORT_HEADER, 12, 1)
                     .Mask(0xf0)
                     .Is(tcpHeader)
                     .Meta(NFT_META_LEN)
                     .ToNetworkOrder()
                     .Compare(NFT_CMP_GT, &length, 4)
                     .Verdict(NF_DROP)
                     .AddTo(batch)) {
                return false;
            }
        }
    }
    // Headers walked and no data found: the segment passes. Headers not walked: it is dropped,
    // so that nothing passes unread on a blocked connection.
    return RuleBuilder(table, kData)
               .Family(NFPROTO_IPV4)
               .Payload(NFT_PAYLOAD_NETWORK_HEADER, 0, 1)
               .Mask(0x0f)
               .Is(5)
               .Verdict(NFT_RETURN)
               .AddTo(batch) &&
           RuleBuilder(table, kData)
               .Family(NFPROTO_IPV6)
               .Payload(NFT_PAYLOAD_NETWORK_HEADER, 6, 1)
               .Is(IPPROTO_TCP)
               .Verdict(NFT_RETURN)
               .AddTo(batch) &&
           RuleBuilder(table, kData).Verdict(NF_DROP).AddTo(batch);
}

// Keys from First to Last, both included: the first bytes of each, as many as the set's keys
// have, in network order.
struct Bounds {
    std::array<std::uint8_t, 16> First{}, Last{};
};

// The key after last; false when last is the greatest key.
bool Next(std::array<std::uint8_t, 16>& key, std::size_t size) {
    for (std::size_t byte = size; byte-- > 0;) {
        if (++key[byte] != 0) {
            return true;
        }
    }
    return false;
}

bool AddElement(nftnl_set* set, const std::uint8_t* key, std::size_t size, bool end) {
    nftnl_set_elem* element = nftnl_set_elem_alloc();
    if (element == nullptr) {
        return false;
    }
    nftnl_set_elem_add(set, element);  // the set owns it from here
    if (end) {
        nftnl_set_elem_set_u32(element, NFTNL_SET_ELEM_FLAGS, NFT_SET_ELEM_INTERVAL_END);
    }
    return nftnl_set_elem_set(element, NFTNL_SET_ELEM_KEY, key, static_cast<std::uint32_t>(size)) ==
           0;
}

// Adds (type NFT_MSG_NEWSETELEM) or deletes (NFT_MSG_DELSETELEM) the intervals of keys of size
// bytes, a message per chunk. An interval is its first key and, marked as an end, the key after
// its last, as nft writes it; one that reaches the greatest key has no end: the set reads a last
// start as open upwards.
bool ChangeElements(NftBatch& batch, std::uint16_t type, const std::string& table, const char* name,
                    const std::vector<Bounds>& intervals, std::size_t size) {
    for (std::size_t at = 0; at < intervals.size(); at += kElementsPerMessage) {
        auto set = Set(table, name);
        if (!set) {
            return false;
        }
        const std::size_t end = std::min(intervals.size(), at + kElementsPerMessage);
        for (std::size_t i = at; i < end; ++i) {
            std::array<std::uint8_t, 16> after = intervals[i].Last;
            if (!AddElement(set.get(), intervals[i].First.data(), size, false) ||
                (Next(after, size) && !AddElement(set.get(), after.data(), size, true))) {
                return false;
            }
        }
        nftnl_set_elems_nlmsg_build_payload(
            batch.Add(type, type == NFT_MSG_NEWSETELEM ? NLM_F_CREATE : 0), set.get());
        batch.Close();
    }
    return true;
}

// Empties the set name: a deletion that names no element.
bool Flush(NftBatch& batch, const std::string& table, const char* name) {
    auto set = Set(table, name);
    if (!set) {
        return false;
    }
    nftnl_set_elems_nlmsg_build_payload(batch.Add(NFT_MSG_DELSETELEM), set.get());
    batch.Close();
    return true;
}

}  // namespace

bool AddTable(NftBatch& batch, const std::string& name, const LogRule* log) {
    std::unique_ptr<nftnl_table, Free> table(nftnl_table_alloc());
    if (!table || nftnl_table_set_str(table.get(), NFTNL_TABLE_NAME, name.c_str()) != 0) {
        return false;
    }
    nftnl_table_set_u32(table.get(), NFTNL_TABLE_FAMILY, NFPROTO_INET);
    nftnl_table_set_u32(table.get(), NFTNL_TABLE_FLAGS, NFT_TABLE_F_OWNER);
    nftnl_table_nlmsg_build_payload(batch.Add(NFT_MSG_NEWTABLE, NLM_F_CREATE | NLM_F_EXCL),
                                    table.get());
    batch.Close();
    // The chains jumped to exist before the rules that jump.
    return AddSet(batch, name, kLocalPorts, kInetService, 2, 1) &&
           AddSet(batch, name, kRemotePorts, kInetService, 2, 2) &&
           AddSet(batch, name, kAllowedIPv4, kIPv4Address, 4, 3) &&
           AddSet(batch, name, kAllowedIPv6, kIPv6Address, 16, 4) &&
           AddChain(batch, name, kData, -1) &&
           (log == nullptr ||
            (AddChain(batch, name, kTell, -1) && AddLogRules(batch, name, *log))) &&
           AddChain(batch, name, kCheckIn, -1) && AddChain(batch, name, kCheckOut, -1) &&
           AddChain(batch, name, "input", NF_INET_LOCAL_IN) &&
           AddChain(batch, name, "output", NF_INET_LOCAL_OUT) && AddDataRules(batch, name) &&
           AddAddressRules(batch, name, kCheckIn, true, log) &&
           AddAddressRules(batch, name, kCheckOut, false, log) &&
           AddPortRules(batch, name, "input", true, kCheckIn) &&
           AddPortRules(batch, name, "output", false, kCheckOut) && AddLoopbackRules(batch, name);
}

namespace {

std::vector<Bounds> KeysOf(const std::vector<PortRange>& ranges) {
    std::vector<Bounds> keys(ranges.size());
    for (std::size_t i = 0; i < ranges.size(); ++i) {
        keys[i].First = {static_cast<std::uint8_t>(ranges[i].Low >> 8),
                         static_cast<std::uint8_t>(ranges[i].Low)};
        keys[i].Last = {static_cast<std::uint8_t>(ranges[i].High >> 8),
                        static_cast<std::uint8_t>(ranges[i].High)};
    }
    return keys;
}

// from is where the keys start in each address: 12 for the IPv4 address of a mapped one.
std::vector<Bounds> KeysOf(const std::vector<AddressSpan>& spans, std::size_t from) {
    std::vector<Bounds> keys(spans.size());
    for (std::size_t i = 0; i < spans.size(); ++i) {
        std::copy(spans[i].First.begin() + static_cast<std::ptrdiff_t>(from), spans[i].First.end(),
                  keys[i].First.begin());
        std::copy(spans[i].Last.begin() + static_cast<std::ptrdiff_t>(from), spans[i].Last.end(),
                  keys[i].Last.begin());
    }
    return keys;
}

// The intervals of one that other lacks.
template <typename T>
std::vector<T> Without(const std::vector<T>& one, const std::vector<T>& other) {
    std::vector<T> left;
    std::ranges::set_difference(one, other, std::back_inserter(left));
    return left;
}

SetContents Without(const SetContents& one, const SetContents& other) {
    return {Without(one.LocalPorts, other.LocalPorts), Without(one.RemotePorts, other.RemotePorts),
            Without(one.IPv4, other.IPv4), Without(one.IPv6, other.IPv6)};
}

bool ChangeSets(NftBatch& batch, std::uint16_t type, const std::string& table,
                const SetContents& contents) {
    return ChangeElements(batch, type, table, kLocalPorts, KeysOf(contents.LocalPorts), 2) &&
           ChangeElements(batch, type, table, kRemotePorts, KeysOf(contents.RemotePorts), 2) &&
           ChangeElements(batch, type, table, kAllowedIPv4, KeysOf(contents.IPv4, 12), 4) &&
           ChangeElements(batch, type, table, kAllowedIPv6, KeysOf(contents.IPv6, 0), 16);
}

}  // namespace

SetContents ContentsOf(const BlockingRules& rules) {
    // Joined again: overlapping intervals would make the kernel reject the whole transaction.
    SetContents contents{JoinedRanges(rules.BlockedLocalPorts),
                         JoinedRanges(rules.BlockedRemotePorts),
                         {},
                         JoinedSpans(rules.AllowedAddresses)};
    // IPv4 packets are looked up by their IPv4 address: what of each span lies among the
    // IPv4-mapped addresses, as the kernel filter compares them.
    const IpAddress lowest = MappedIPv4(0), highest = MappedIPv4(0xffffffff);
    for (const AddressSpan& span : contents.IPv6) {
        if (span.Last >= lowest && span.First <= highest) {
            contents.IPv4.push_back({std::max(span.First, lowest), std::min(span.Last, highest)});
        }
    }
    return contents;
}

SetContents Union(const SetContents& one, const SetContents& other) {
    const auto both = [](auto first, const auto& second) {
        first.insert(first.end(), second.begin(), second.end());
        return first;
    };
    return {JoinedRanges(both(one.LocalPorts, other.LocalPorts)),
            JoinedRanges(both(one.RemotePorts, other.RemotePorts)),
            JoinedSpans(both(one.IPv4, other.IPv4)), JoinedSpans(both(one.IPv6, other.IPv6))};
}

bool ChangeContents(NftBatch& batch, const std::string& table, const SetContents& from,
                    const SetContents& to) {
    // What goes first, so that what comes never meets an interval it overlaps.
    return ChangeSets(batch, NFT_MSG_DELSETELEM, table, Without(from, to)) &&
           ChangeSets(batch, NFT_MSG_NEWSETELEM, table, Without(to, from));
}

bool EmptySets(NftBatch& batch, const std::string& table) {
    for (const char* set : {kLocalPorts, kRemotePorts, kAllowedIPv4, kAllowedIPv6}) {
        if (!Flush(batch, table, set)) {
            return false;
        }
    }
    return true;
}

}  // namespace quarnel::platform
