#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "platform/BlockingRules.h"
#include "platform/TcpTableSource.h"
#include "platform/linux/bpf/PayloadRuleMaps.h"
#include "platform/linux/events/TcpEventStream.h"
#include "platform/linux/filter/FilterCause.h"
#include "platform/linux/privileges/Refusal.h"

// The conversation between the program and quarnel-helper, the small process that holds the
// right to close connections. It runs over one SOCK_SEQPACKET socketpair: every message is one
// record, the program asks one question at a time and the helper answers it before it reads the
// next. All numbers are little-endian; addresses travel as the row holds them, 16 bytes in
// network order (an IPv4 socket's IPv4-mapped); bytes not named below are zero.
//
// Three messages are no answer; the helper sends them of its own accord, with sequence 0, once
// the program asked WatchTable (so a program that never asks never sees one), and never within
// an answer:
// - TableChanges: the rows that changed since the helper last answered a read or sent such
//   rows, exactly as an answer to ReadTableChanges carries them (in as many parts). The helper
//   sends them only while the program holds the table as the helper last handed it out (after
//   an answer that carried or confirmed the table, and until an answer failed); the program
//   applies them in the order they come, those before an answer before the answer's.
// - TableChanged: the table may have changed in a way only a read fetches (the helper reads it
//   whole, cannot tell which rows changed, or the program does not hold its rows yet). It comes
//   at most once between two reads, and the reads afterwards include whatever it announced.
// - Missed: connections that were established and gone again before a read handed them out,
//   as the table gave them after its last read, so that the program tells a blocked one as
//   ended before it could be closed. Sent after the read that found them, before its answer or
//   its changed rows; each message stands alone, at most kRowsPerChunk rows, and one read gives
//   at most kMaxMissedRows.
// So while the table changes row by row, each change costs one message and no question.
//
// Request, kRequestSize (64) bytes, and for SetRules the rules after them:
//   0 u16 version (kProtocolVersion)      2 u16 kind (RequestKind)     4 u32 sequence
//   8 connection name (49 bytes, below): what a close names; all zero for the other kinds
//   (sequence 0 is never used: it marks what the helper sends unasked)
//   57..63 zero
// SetRules travels in parts, one record each, all with the sequence of the first; the helper
// answers every part but the last with Unchanged, the last with Filtering, and refuses a part
// that is not the one that follows (then the parts so far are dropped). A part carries at 8 a
// u32 count of allowed prefixes in it (at most kPrefixesPerPart; exactly that in a part that
// has more after it), at 12 u8 flags: 1 when the prefixes were too many to send (then the
// count is 0 and this part the only one: the kernel filter holds back nothing, and the ports
// only pick the connections whose establishment wakes the helper), 2 when another part
// follows; at 14 a u16 part index (0, 1, ..., below kMaxRuleParts), 13 and 16..63 zero. Part 0
// then carries the blocked local ports and the blocked remote ports as two bitmaps of
// kPortBitmapSize bytes (port p is bit p % 8 of byte p / 8); every part then carries its
// prefixes, kRulePrefixSize bytes each: 16 bytes of network in network order (IPv4 as
// ::ffff:a.b.c.d) with no bit set past the length, then a u8 length in bits of those 16 bytes
// (0..128; IPv4 a.b.c.d/n has 96 + n), in strictly ascending order (network, then length)
// across all parts. Its length is exactly what the count makes it.
//
// Connection name, 49 bytes:
//   0 u64 socket cookie   8 local address (16 bytes)   24 remote address (16 bytes)
//   40 u32 interface      44 u16 local port            46 u16 remote port
//   48 u8 family (4 an IPv4 socket, whose addresses are IPv4-mapped; 6 an IPv6 socket)
//
// Reply, a 16-byte header and, for a table chunk only, its rows:
//   0 u16 version   2 u16 kind (ReplyKind)   4 u32 sequence of the request it answers
//   8 what the kind carries:
//     TableChunk   8 u16 chunk index (0, 1, ...)  10 u16 row count  12 u8 flags (1: last chunk)
//                  then row count rows; every chunk but the last carries kRowsPerChunk rows,
//                  and there are at most kMaxChunks
//     TableChanges 8 u16 chunk index (0, 1, ...)  10 u16 row count  12 u32 the table's row count
//                  then row count rows, each with its index in the table; a chunk of fewer
//                  than kRowsPerChunk rows is the last (it may carry none), at most kMaxChunks
//     Missed       10 u16 row count, then row count rows
//     TableFailed  8 u16 TableFailure
//     Closed       8 u8  1 when the connection was closed, 0 when not
//     Ability      8 u8  0 allowed, 1 no permission, 2 not supported, 3 unknown
//     Refused      8 u16 Refusal (privileges/Refusal.h; the helper has no reasons of its own)
//     Watching     8 u16 PollingCause kind (0: the table is kept from kernel events)
//                  12 u32 the error number that goes with it
//     Filtering    8 u16 FilterCause kind (0: the kernel holds back what the rules block)
//                  10 u8  1 when the packet filter's table holds it back instead, else 0
//                  12 u32 the error number that goes with it
//     Unchanged, TableChanged: nothing
//
// Row, kRowSize (80) bytes: the connection name in bytes 0..48, then 49 u8 state (TcpState),
// 50..51 zero, 52 u32 the row's index in the table in a TableChanges reply, zero in a
// TableChunk or Missed, then its owner: 56 u32 pid (0: not known, and then 60..79 zero), 60 u32
// uid, 64..79 the program's short name, NUL-padded, byte 79 always NUL. The helper names only
// owners whose /proc entries its user may read.
//
// ReadTableChanges is answered with Unchanged, TableFailed, the whole table in TableChunk
// replies, or TableChanges: the rows that appeared or changed since the helper last answered a
// read or sent changed rows, at their indices, ascending, and the table's new row count (rows
// past it vanished). Only a program that kept every row of the helper's earlier answers and
// sendings can apply them; after anything else it asks ReadTable. A helper whose rows the
// program may not hold answers it whole.
//
// A request that is cut short, too long, of another version (the IPv4-only layout of version 1
// among them, version 2, whose helper only told of changes, version 3, whose rules held
// single addresses in one record, version 4, whose helper sent no missed connections, and
// version 5, whose rows had no owner), of
// an unknown kind or with a field out of its range is answered with Refused and never acted on. A
// close always means one TCP connection: the record has no field that could name another protocol,
// and the helper builds the kernel's request for TCP itself.

namespace quarnel::platform {

inline constexpr std::uint16_t kProtocolVersion = 6;

// The descriptor on which the helper finds its end of the socketpair.
inline constexpr int kHelperSocketFd = 3;

inline constexpr std::size_t kRequestSize = 64;
inline constexpr std::size_t kPortBitmapSize = 65536 / 8;
// As many prefixes as the kernel filter holds: a longer list could not be applied anyway.
inline constexpr std::size_t kMaxRuleAddresses = QUARNEL_MAX_ALLOWED_ADDRESSES;
inline constexpr std::size_t kRulePrefixSize = 17;
// A part of about 85 KiB, well within the default socket buffer, which bounds one message.
inline constexpr std::size_t kPrefixesPerPart = 4096;
inline constexpr std::size_t kMaxRuleParts = kMaxRuleAddresses / kPrefixesPerPart;
static_assert(kMaxRuleAddresses % kPrefixesPerPart == 0, "the largest list fills its last part");
inline constexpr std::size_t kMaxRequestSize =
    kRequestSize + 2 * kPortBitmapSize + kPrefixesPerPart * kRulePrefixSize;
inline constexpr std::size_t kReplyHeaderSize = 16;
inline constexpr std::size_t kRowSize = 80;
// A chunk of 80 KiB: a table of a few thousand connections travels in a few messages, each
// well within the default socket buffer (net.core.wmem_default, 208 KiB), which bounds one
// message, and small enough for the kernel to build from single pages, so that no send waits
// for a large block of memory.
inline constexpr std::size_t kRowsPerChunk = 1024;
inline constexpr std::size_t kMaxReplySize = kReplyHeaderSize + kRowsPerChunk * kRowSize;
// A table of more rows is answered with TableFailure::TooManyRows, so that one read is never
// more than kMaxChunks messages. The bound is far above what a machine holds (a dump of a
// million sockets alone takes about a second), so in practice every row arrives.
inline constexpr std::size_t kMaxTableRows = std::size_t{1} << 20;
inline constexpr std::size_t kMaxChunks = kMaxTableRows / kRowsPerChunk;
static_assert(kMaxTableRows % kRowsPerChunk == 0, "the largest table fills its last chunk");
// Missed connections one read gives, and the program keeps untaken, at most: far more than end
// between two passes; past it the rest are dropped (they are only told, never closed).
inline constexpr std::size_t kMaxMissedRows = 4096;

enum class RequestKind : std::uint16_t {
    ReadTable = 1,
    CloseConnection = 2,
    CanCloseConnections = 3,
    WatchTable = 4,  // send changes unasked from now on; how is the table kept?
    // 5 asked for the whole table unless unchanged, which ReadTableChanges answers too.
    SetRules = 6,          // hold back the payload of what these rules block from now on
    ReadTableChanges = 7,  // Unchanged, or only the rows that changed since the last answer
};

enum class ReplyKind : std::uint16_t {
    TableChunk = 0x81,
    TableFailed = 0x82,
    Closed = 0x83,
    Ability = 0x84,
    Watching = 0x85,
    Unchanged = 0x86,
    TableChanged = 0x87,
    Filtering = 0x88,
    TableChanges = 0x89,
    Missed = 0x8a,
    Refused = 0xff,
};

enum class TableFailure : std::uint16_t {
    ReadFailed = 1,
    TooManyRows = 2,
};

struct Request {
    RequestKind Kind = RequestKind::ReadTable;
    std::uint32_t Sequence = 0;
    // What a close names; State plays no part. All zero for the other kinds.
    TcpRow Connection;
    // What SetRules sets: port ranges in ascending order, prefixes in ascending order without
    // repeats; one part's prefixes (and in part 0 the ports) until RulesParts gathered them.
    BlockingRules Rules{};
    // SetRules: the prefixes were too many to send; Rules holds none.
    bool AddressesLeftOut = false;
    std::uint16_t RulesPart = 0;  // SetRules: which part this is
    bool MoreRules = false;       // SetRules: another part follows
};

// Gathers the parts of SetRules requests into whole rules.
class RulesParts {
public:
    // Takes a decoded part. When it was the last, part.Rules then holds all the parts' rules;
    // else it is emptied. Malformed when it is not the part that follows (a part 0 always is):
    // what was gathered is then dropped.
    [[nodiscard]] Refusal Take(Request& part);

private:
    BlockingRules gathered_;
    std::uint16_t next_ = 0;
};

// A reply without its rows: those travel beside it.
struct Reply {
    ReplyKind Kind = ReplyKind::Refused;
    std::uint32_t Sequence = 0;
    std::uint16_t ChunkIndex = 0;  // TableChunk, TableChanges
    bool LastChunk = false;        // TableChunk, TableChanges
    std::uint32_t TableRows = 0;   // TableChanges: the table's row count after the changes
    TableFailure Failure = TableFailure::ReadFailed;
    bool Closed = false;
    CloseAbility Ability = CloseAbility::Unknown;
    Refusal Reason = Refusal::None;
    PollingCause Polling{};  // Watching: why the helper polls; kind None when it does not
    FilterCause Filter{};    // Filtering: why the kernel does not hold back blocked payload
};

using RequestBytes = std::array<std::uint8_t, kRequestSize>;

// Whether a row can be named in a close: ports in 0..65535, a socket cookie the kernel would
// hold (not 0, and not the all-ones value with which the kernel skips its cookie check), and
// for an IPv4 socket IPv4-mapped addresses (the kernel would read only their last four bytes),
// and the reader's own network namespace (the only one the helper reads).
bool CanNameConnection(const TcpRow& row);

// The record of a request; false when its connection cannot be named (see CanNameConnection).
[[nodiscard]] bool EncodeRequest(const Request& request, RequestBytes& out);

// The records of a SetRules request's parts, in ascending order whatever the order of rules;
// false when rules hold more than kMaxRuleAddresses different prefixes: then one record
// carries the ports and says the prefixes were left out.
bool EncodeRulesRequest(std::uint32_t sequence, const BlockingRules& rules,
                        std::vector<std::vector<std::uint8_t>>& out);

// Reads one request. received holds the bytes that arrived, at most kMaxRequestSize; length is the
// whole message's length as the socket reported it, which is larger when the message was cut.
// Sets request.Sequence whenever the message is long enough to carry one, so that a refusal can
// name the request it refuses.
[[nodiscard]] Refusal DecodeRequest(std::span<const std::uint8_t> received, std::size_t length,
                                    Request& request);

// Who a row's OwnerPid names, for the rows a reply carries.
using RowOwners = std::function<ConnectionOwner(const TcpRow& row)>;

// Writes one reply into out (kMaxReplySize bytes); its length. rows are a chunk's or Missed's
// rows, at most kRowsPerChunk, and must be empty for the other kinds; indices are their indices in
// the table, one per row for TableChanges, none for the other kinds. Each row's owner is what
// owners tells of it (none without it).
[[nodiscard]] std::size_t EncodeReply(const Reply& reply, std::span<const TcpRow> rows,
                                      std::span<std::uint8_t, kMaxReplySize> out,
                                      std::span<const std::uint32_t> indices = {},
                                      const RowOwners& owners = {});

// Reads one reply as DecodeRequest reads a request; a chunk's rows are appended to rows. False
// for anything but one well-formed reply of this version.
[[nodiscard]] bool DecodeReply(std::span<const std::uint8_t> received, std::size_t length,
                               Reply& reply, std::vector<TcpRow>& rows);
// The same; the indices of a TableChanges reply's rows are appended to indices, and, when
// owners is given, each row's owner to it (none where the row has no OwnerPid).
[[nodiscard]] bool DecodeReply(std::span<const std::uint8_t> received, std::size_t length,
                               Reply& reply, std::vector<TcpRow>& rows,
                               std::vector<std::uint32_t>& indices,
                               std::vector<ConnectionOwner>* owners = nullptr);

}  // namespace quarnel::platform
