#include "platform/linux/protocol/HelperProtocol.h"

#include <algorithm>
#include <iterator>

namespace quarnel::platform {

namespace {

constexpr std::size_t kNameSize = 49;
constexpr std::size_t kRequestNameOffset = 8;
constexpr std::size_t kRowStateOffset = kNameSize;
constexpr std::size_t kRowIndexOffset = 52;
constexpr std::size_t kRowOwnerOffset = 56;
constexpr std::size_t kOwnerCommandOffset = kRowOwnerOffset + 8;
constexpr std::uint8_t kLastChunkFlag = 1;
constexpr std::uint8_t kAddressesLeftOut = 1;
constexpr std::uint8_t kMoreRules = 2;
// With this cookie the kernel closes whatever socket the addresses and ports find, listeners
// on a wildcard address included; a close always names one exact socket instead.
constexpr std::uint64_t kNoCookie = ~std::uint64_t{0};

// Little-endian fields at fixed offsets of one record.
class Writer {
public:
    explicit Writer(std::span<std::uint8_t> bytes) : bytes_(bytes) {
        std::fill(bytes_.begin(), bytes_.end(), std::uint8_t{0});
    }
    void Put(std::size_t offset, std::uint64_t value, std::size_t width) {
        for (std::size_t i = 0; i < width; ++i) {
            bytes_[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
        }
    }
    void Put(std::size_t offset, const IpAddress& address) {
        std::ranges::copy(address, bytes_.begin() + static_cast<std::ptrdiff_t>(offset));
    }

private:
    std::span<std::uint8_t> bytes_;
};

class Reader {
public:
    explicit Reader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
    std::uint64_t Get(std::size_t offset, std::size_t width) const {
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < width; ++i) {
            value |= std::uint64_t{bytes_[offset + i]} << (8 * i);
        }
        return value;
    }
    std::uint8_t U8(std::size_t offset) const { return bytes_[offset]; }
    IpAddress Address(std::size_t offset) const {
        IpAddress address;
        std::ranges::copy(bytes_.subspan(offset, address.size()), address.begin());
        return address;
    }
    std::uint16_t U16(std::size_t offset) const {
        return static_cast<std::uint16_t>(Get(offset, 2));
    }
    std::uint32_t U32(std::size_t offset) const {
        return static_cast<std::uint32_t>(Get(offset, 4));
    }
    bool Zero(std::size_t from, std::size_t to) const {
        return std::all_of(bytes_.begin() + static_cast<std::ptrdiff_t>(from),
                           bytes_.begin() + static_cast<std::ptrdiff_t>(to),
                           [](std::uint8_t b) { return b == 0; });
    }
    Reader At(std::size_t offset) const { return Reader(bytes_.subspan(offset)); }

private:
    std::span<const std::uint8_t> bytes_;
};

bool KnownState(std::int32_t state) {
    return state >= static_cast<std::int32_t>(TcpState::Unknown) &&
           state <= static_cast<std::int32_t>(TcpState::DeleteTcb);
}

constexpr std::uint8_t kIPv4Code = 4;
constexpr std::uint8_t kIPv6Code = 6;

std::uint8_t FamilyCode(SocketFamily family) {
    return family == SocketFamily::IPv6 ? kIPv6Code : kIPv4Code;
}

bool FamilyFromCode(std::uint8_t code, SocketFamily& family) {
    switch (code) {
        case kIPv4Code:
            family = SocketFamily::IPv4;
            return true;
        case kIPv6Code:
            family = SocketFamily::IPv6;
            return true;
        default:
            return false;
    }
}

void PutName(Writer& out, std::size_t at, const TcpRow& row) {
    out.Put(at + 0, row.Cookie, 8);
    out.Put(at + 8, row.LocalAddress);
    out.Put(at + 24, row.RemoteAddress);
    out.Put(at + 40, row.Interface, 4);
    out.Put(at + 44, static_cast<std::uint16_t>(row.LocalPort), 2);
    out.Put(at + 46, static_cast<std::uint16_t>(row.RemotePort), 2);
    out.Put(at + 48, FamilyCode(row.Family), 1);
}

// The name's fields into row; false when the family is none of ours.
bool GetName(const Reader& in, TcpRow& row) {
    row.Cookie = in.Get(0, 8);
    row.LocalAddress = in.Address(8);
    row.RemoteAddress = in.Address(24);
    row.Interface = in.U32(40);
    row.LocalPort = in.U16(44);
    row.RemotePort = in.U16(46);
    return FamilyFromCode(in.U8(48), row.Family);
}

void PutOwner(Writer& out, std::size_t at, const ConnectionOwner& owner) {
    if (!owner.Known()) {
        return;
    }
    out.Put(at + kRowOwnerOffset, owner.Pid, 4);
    out.Put(at + kRowOwnerOffset + 4, owner.Uid, 4);
    for (std::size_t i = 0; i + 1 < owner.Command.size(); ++i) {
        out.Put(at + kOwnerCommandOffset + i, static_cast<std::uint8_t>(owner.Command[i]), 1);
    }
}

// The owner's fields into owner; false when an unknown owner carries anything or a name runs
// past its last byte.
bool GetOwner(const Reader& in, ConnectionOwner& owner) {
    constexpr std::size_t kEnd = kOwnerCommandOffset + sizeof(ConnectionOwner::Command);
    static_assert(kEnd == kRowSize);
    owner.Pid = in.U32(kRowOwnerOffset);
    if (owner.Pid == 0) {
        return in.Zero(kRowOwnerOffset + 4, kEnd);
    }
    owner.Uid = in.U32(kRowOwnerOffset + 4);
    for (std::size_t i = 0; i < owner.Command.size(); ++i) {
        owner.Command[i] = static_cast<char>(in.U8(kOwnerCommandOffset + i));
    }
    return owner.Command.back() == '\0';
}

// An answer to the permission question travels as its index here, both ways.
constexpr CloseAbility kAbilityByCode[] = {CloseAbility::Allowed, CloseAbility::NoPermission,
                                           CloseAbility::NotSupported, CloseAbility::Unknown};

std::uint8_t AbilityCode(CloseAbility ability) {
    return static_cast<std::uint8_t>(std::ranges::find(kAbilityByCode, ability) -
                                     std::begin(kAbilityByCode));
}

bool AbilityFromCode(std::uint8_t code, CloseAbility& ability) {
    if (code >= std::size(kAbilityByCode)) {
        return false;
    }
    ability = kAbilityByCode[code];
    return true;
}

bool KnownRequestKind(std::uint16_t kind) {
    constexpr std::uint16_t kRetired = 5;
    return kind >= static_cast<std::uint16_t>(RequestKind::ReadTable) &&
           kind <= static_cast<std::uint16_t>(RequestKind::ReadTableChanges) && kind != kRetired;
}

bool KnownFilterKind(std::uint16_t kind) {
    return kind <= static_cast<std::uint16_t>(FilterCause::Kind::NoResource);
}

// A SetRules part's length: its first kRequestSize bytes, the port bitmaps in part 0 only,
// then its prefixes.
constexpr std::size_t kRulesSize(std::size_t part, std::size_t prefixes) {
    return kRequestSize + (part == 0 ? 2 * kPortBitmapSize : 0) + prefixes * kRulePrefixSize;
}

void PutPorts(std::span<std::uint8_t> bitmap, const std::vector<PortRange>& ranges) {
    for (const PortRange& range : ranges) {
        for (std::uint32_t port = range.Low; port <= range.High; ++port) {
            bitmap[port / 8] = static_cast<std::uint8_t>(bitmap[port / 8] | 1u << (port % 8));
        }
    }
}

// The bitmap's ports as sorted ranges, adjacent ports joined.
std::vector<PortRange> GetPorts(std::span<const std::uint8_t> bitmap) {
    std::vector<PortRange> ranges;
    for (std::uint32_t port = 0; port < 65536; ++port) {
        if ((bitmap[port / 8] >> (port % 8) & 1) == 0) {
            continue;
        }
        if (!ranges.empty() && ranges.back().High + 1u == port) {
            ranges.back().High = static_cast<std::uint16_t>(port);
        } else {
            ranges.push_back({static_cast<std::uint16_t>(port), static_cast<std::uint16_t>(port)});
        }
    }
    return ranges;
}

// The rules after a SetRules part's first kRequestSize bytes, which say how many prefixes
// follow; Truncated, Oversized or Malformed when the record is not exactly that.
Refusal GetRules(std::span<const std::uint8_t> record, const Reader& in, Request& request) {
    BlockingRules& rules = request.Rules;
    const std::size_t count = in.U32(8);
    const std::uint8_t flags = in.U8(12);
    const std::uint16_t part = in.U16(14);
    const bool leftOut = (flags & kAddressesLeftOut) != 0;
    const bool more = (flags & kMoreRules) != 0;
    // Addresses left out: then none follow, in no further part. A part with more to come is
    // full.
    if (count > kPrefixesPerPart || flags > (kAddressesLeftOut | kMoreRules) ||
        (leftOut && (count != 0 || more || part != 0)) || (more && count != kPrefixesPerPart) ||
        part >= kMaxRuleParts || (more && part + 1u >= kMaxRuleParts) || !in.Zero(13, 14) ||
        !in.Zero(16, kRequestSize)) {
        return Refusal::Malformed;
    }
    request.AddressesLeftOut = leftOut;
    request.RulesPart = part;
    request.MoreRules = more;
    if (record.size() != kRulesSize(part, count)) {
        return record.size() < kRulesSize(part, count) ? Refusal::Truncated : Refusal::Oversized;
    }
    auto prefixes = record.subspan(kRequestSize);
    if (part == 0) {
        rules.BlockedLocalPorts = GetPorts(prefixes.first(kPortBitmapSize));
        rules.BlockedRemotePorts = GetPorts(prefixes.subspan(kPortBitmapSize, kPortBitmapSize));
        prefixes = prefixes.subspan(2 * kPortBitmapSize);
    }
    for (std::size_t i = 0; i < count; ++i) {
        const auto bytes = prefixes.subspan(i * kRulePrefixSize, kRulePrefixSize);
        AddressPrefix prefix;
        std::ranges::copy(bytes.first(prefix.Network.size()), prefix.Network.begin());
        prefix.Length = bytes[prefix.Network.size()];
        // Ascending without repeats, no bit set past the length: one record for one set of
        // rules.
        const bool ascending =
            rules.AllowedAddresses.empty() || rules.AllowedAddresses.back() < prefix;
        if (prefix.Length > 128 || !ascending || !InPrefix(prefix, prefix.Network)) {
            rules = {};
            return Refusal::Malformed;
        }
        rules.AllowedAddresses.push_back(prefix);
    }
    return Refusal::None;
}

bool KnownPollingKind(std::uint16_t kind) {
    return kind <= static_cast<std::uint16_t>(PollingCause::Kind::NoResource);
}

bool KnownFailure(std::uint16_t code) {
    return code == static_cast<std::uint16_t>(TableFailure::ReadFailed) ||
           code == static_cast<std::uint16_t>(TableFailure::TooManyRows);
}

// The fields of a reply of kind after its header; false when one is out of range, or the kind
// is none of ours.
bool GetReplyFields(const Reader& in, Reply& reply) {
    switch (reply.Kind) {
        case ReplyKind::TableChunk:
            reply.ChunkIndex = in.U16(8);
            reply.LastChunk = in.U8(12) == kLastChunkFlag;
            return (in.U8(12) & ~kLastChunkFlag) == 0 && in.Zero(13, kReplyHeaderSize);
        case ReplyKind::TableChanges:
            reply.ChunkIndex = in.U16(8);
            reply.LastChunk = in.U16(10) < kRowsPerChunk;
            reply.TableRows = in.U32(12);
            return reply.TableRows <= kMaxTableRows;
        case ReplyKind::TableFailed:
            reply.Failure = static_cast<TableFailure>(in.U16(8));
            return KnownFailure(in.U16(8)) && in.Zero(10, kReplyHeaderSize);
        case ReplyKind::Closed:
            reply.Closed = in.U8(8) == 1;
            return in.U8(8) <= 1 && in.Zero(9, kReplyHeaderSize);
        case ReplyKind::Ability:
            return AbilityFromCode(in.U8(8), reply.Ability) && in.Zero(9, kReplyHeaderSize);
        case ReplyKind::Refused:
            reply.Reason = static_cast<Refusal>(in.U16(8));
            return IsMessageRefusal(in.U16(8)) && in.Zero(10, kReplyHeaderSize);
        case ReplyKind::Watching:
            reply.Polling.Why = static_cast<PollingCause::Kind>(in.U16(8));
            reply.Polling.Logged = in.U8(10) == 1;
            reply.Polling.Error = static_cast<int>(in.U32(12));
            return KnownPollingKind(in.U16(8)) && in.U8(10) <= 1 && in.Zero(11, 12);
        case ReplyKind::Filtering:
            reply.Filter.Why = static_cast<FilterCause::Kind>(in.U16(8));
            reply.Filter.Netfilter = in.U8(10) == 1;
            reply.Filter.Error = static_cast<int>(in.U32(12));
            return KnownFilterKind(in.U16(8)) && in.U8(10) <= 1 && in.Zero(11, 12);
        case ReplyKind::Missed:
            return in.Zero(8, 10) && in.Zero(12, kReplyHeaderSize);
        case ReplyKind::Unchanged:
        case ReplyKind::TableChanged:
            return in.Zero(8, kReplyHeaderSize);
    }
    return false;
}

}  // namespace

bool CanNameConnection(const TcpRow& row) {
    const bool addressesFit = row.Family == SocketFamily::IPv6 ||
                              (IsIPv4Mapped(row.LocalAddress) && IsIPv4Mapped(row.RemoteAddress));
    // The window program guards its own namespace alone: a row of another never crosses.
    return IsPortNumber(row.LocalPort) && IsPortNumber(row.RemotePort) && row.Cookie != 0 &&
           row.Cookie != kNoCookie && addressesFit && row.Namespace == 0;
}

bool EncodeRequest(const Request& request, RequestBytes& out) {
    Writer writer(out);
    writer.Put(0, kProtocolVersion, 2);
    writer.Put(2, static_cast<std::uint16_t>(request.Kind), 2);
    writer.Put(4, request.Sequence, 4);
    if (request.Kind == RequestKind::CloseConnection) {
        if (!CanNameConnection(request.Connection)) {
            return false;
        }
        PutName(writer, kRequestNameOffset, request.Connection);
    }
    return true;
}

bool EncodeRulesRequest(std::uint32_t sequence, const BlockingRules& rules,
                        std::vector<std::vector<std::uint8_t>>& out) {
    std::vector<AddressPrefix> prefixes = rules.AllowedAddresses;
    std::ranges::sort(prefixes);
    prefixes.erase(std::unique(prefixes.begin(), prefixes.end()), prefixes.end());
    const bool fits = prefixes.size() <= kMaxRuleAddresses;
    if (!fits) {
        prefixes.clear();
    }
    const std::size_t parts =
        std::max<std::size_t>(1, (prefixes.size() + kPrefixesPerPart - 1) / kPrefixesPerPart);
    out.assign(parts, {});
    for (std::size_t part = 0; part < parts; ++part) {
        const std::size_t first = part * kPrefixesPerPart;
        const std::size_t count = std::min(kPrefixesPerPart, prefixes.size() - first);
        std::vector<std::uint8_t>& record = out[part];
        record.assign(kRulesSize(part, count), 0);
        Writer writer(std::span<std::uint8_t>(record).first(kRequestSize));
        writer.Put(0, kProtocolVersion, 2);
        writer.Put(2, static_cast<std::uint16_t>(RequestKind::SetRules), 2);
        writer.Put(4, sequence, 4);
        writer.Put(8, count, 4);
        writer.Put(12, (fits ? 0 : kAddressesLeftOut) | (part + 1 < parts ? kMoreRules : 0), 1);
        writer.Put(14, part, 2);
        auto at = record.begin() + static_cast<std::ptrdiff_t>(kRequestSize);
        if (part == 0) {
            const auto ports = std::span(record).subspan(kRequestSize);
            PutPorts(ports.first(kPortBitmapSize), rules.BlockedLocalPorts);
            PutPorts(ports.subspan(kPortBitmapSize, kPortBitmapSize), rules.BlockedRemotePorts);
            at += static_cast<std::ptrdiff_t>(2 * kPortBitmapSize);
        }
        for (std::size_t i = first; i < first + count; ++i) {
            at = std::ranges::copy(prefixes[i].Network, at).out;
            *at++ = prefixes[i].Length;
        }
    }
    return fits;
}

Refusal RulesParts::Take(Request& part) {
    if (part.RulesPart == 0) {
        next_ = 0;  // a new set of rules; what was gathered of another is dropped
    }
    if (part.RulesPart != next_ ||
        (next_ > 0 && !part.Rules.AllowedAddresses.empty() &&
         !(gathered_.AllowedAddresses.back() < part.Rules.AllowedAddresses.front()))) {
        next_ = 0;
        gathered_ = {};
        return Refusal::Malformed;
    }
    if (next_ == 0) {
        gathered_ = std::move(part.Rules);
    } else {
        std::ranges::move(part.Rules.AllowedAddresses,
                          std::back_inserter(gathered_.AllowedAddresses));
    }
    if (part.MoreRules) {
        ++next_;
        part.Rules = {};
        return Refusal::None;
    }
    next_ = 0;
    part.Rules = std::move(gathered_);
    gathered_ = {};
    return Refusal::None;
}

Refusal DecodeRequest(std::span<const std::uint8_t> received, std::size_t length,
                      Request& request) {
    request = Request{};
    const Reader in(received);
    const std::size_t have = std::min(received.size(), length);
    if (have >= 8) {
        request.Sequence = in.U32(4);
    }
    // The version first: a record of another version may well have another size.
    if (have < 2) {
        return Refusal::Truncated;
    }
    if (in.U16(0) != kProtocolVersion) {
        return Refusal::WrongVersion;
    }
    if (length > kMaxRequestSize) {
        return Refusal::Oversized;
    }
    if (have < kRequestSize) {
        return Refusal::Truncated;
    }
    const std::uint16_t kind = in.U16(2);
    if (!KnownRequestKind(kind)) {
        return Refusal::UnknownKind;
    }
    request.Kind = static_cast<RequestKind>(kind);
    if (request.Kind == RequestKind::SetRules) {
        // A message longer than what arrived was cut: only its length says how long.
        return have < length ? Refusal::Oversized : GetRules(received.first(have), in, request);
    }
    if (length > kRequestSize) {
        return Refusal::Oversized;
    }
    constexpr std::size_t kNameEnd = kRequestNameOffset + kNameSize;
    if (!in.Zero(kNameEnd, kRequestSize)) {
        return Refusal::Malformed;
    }
    if (request.Kind != RequestKind::CloseConnection) {
        return in.Zero(kRequestNameOffset, kNameEnd) ? Refusal::None : Refusal::Malformed;
    }
    if (!GetName(in.At(kRequestNameOffset), request.Connection) ||
        !CanNameConnection(request.Connection)) {
        request.Connection = TcpRow{};
        return Refusal::Malformed;
    }
    return Refusal::None;
}

namespace {

// Whether a reply of kind carries rows after its header (a row count at 10).
bool CarriesRows(ReplyKind kind) {
    return kind == ReplyKind::TableChunk || kind == ReplyKind::TableChanges ||
           kind == ReplyKind::Missed;
}

}  // namespace

std::size_t EncodeReply(const Reply& reply, std::span<const TcpRow> rows,
                        std::span<std::uint8_t, kMaxReplySize> out,
                        std::span<const std::uint32_t> indices, const RowOwners& owners) {
    const bool changes = reply.Kind == ReplyKind::TableChanges;
    if (rows.size() > (CarriesRows(reply.Kind) ? kRowsPerChunk : 0) ||
        indices.size() != (changes ? rows.size() : 0)) {
        return 0;
    }
    const std::size_t size = kReplyHeaderSize + rows.size() * kRowSize;
    Writer writer(out.first(size));
    writer.Put(0, kProtocolVersion, 2);
    writer.Put(2, static_cast<std::uint16_t>(reply.Kind), 2);
    writer.Put(4, reply.Sequence, 4);
    switch (reply.Kind) {
        case ReplyKind::TableChunk:
            writer.Put(8, reply.ChunkIndex, 2);
            writer.Put(10, rows.size(), 2);
            writer.Put(12, reply.LastChunk ? kLastChunkFlag : 0, 1);
            break;
        case ReplyKind::TableChanges:
            writer.Put(8, reply.ChunkIndex, 2);
            writer.Put(10, rows.size(), 2);
            writer.Put(12, reply.TableRows, 4);
            break;
        case ReplyKind::TableFailed:
            writer.Put(8, static_cast<std::uint16_t>(reply.Failure), 2);
            break;
        case ReplyKind::Closed:
            writer.Put(8, reply.Closed ? 1 : 0, 1);
            break;
        case ReplyKind::Ability:
            writer.Put(8, AbilityCode(reply.Ability), 1);
            break;
        case ReplyKind::Refused:
            writer.Put(8, static_cast<std::uint16_t>(reply.Reason), 2);
            break;
        case ReplyKind::Watching:
            writer.Put(8, static_cast<std::uint16_t>(reply.Polling.Why), 2);
            writer.Put(10, reply.Polling.Logged ? 1u : 0u, 1);
            writer.Put(12, static_cast<std::uint32_t>(reply.Polling.Error), 4);
            break;
        case ReplyKind::Filtering:
            writer.Put(8, static_cast<std::uint16_t>(reply.Filter.Why), 2);
            writer.Put(10, reply.Filter.Netfilter ? 1u : 0u, 1);
            writer.Put(12, static_cast<std::uint32_t>(reply.Filter.Error), 4);
            break;
        case ReplyKind::Missed:
            writer.Put(10, rows.size(), 2);
            break;
        case ReplyKind::Unchanged:
        case ReplyKind::TableChanged:
            break;
    }
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const TcpRow& row = rows[i];
        if (!CanNameConnection(row) || !KnownState(static_cast<std::int32_t>(row.State))) {
            return 0;
        }
        const std::size_t at = kReplyHeaderSize + i * kRowSize;
        PutName(writer, at, row);
        writer.Put(at + kRowStateOffset, static_cast<std::uint8_t>(row.State), 1);
        if (row.OwnerPid != 0 && owners) {
            // An owner the table no longer knows travels as not known.
            if (const ConnectionOwner owner = owners(row); owner.Pid == row.OwnerPid) {
                PutOwner(writer, at, owner);
            }
        }
        if (changes) {
            writer.Put(at + kRowIndexOffset, indices[i], 4);
        }
    }
    return size;
}

bool DecodeReply(std::span<const std::uint8_t> received, std::size_t length, Reply& reply,
                 std::vector<TcpRow>& rows) {
    std::vector<std::uint32_t> indices;
    return DecodeReply(received, length, reply, rows, indices) &&
           reply.Kind != ReplyKind::TableChanges;
}

bool DecodeReply(std::span<const std::uint8_t> received, std::size_t length, Reply& reply,
                 std::vector<TcpRow>& rows, std::vector<std::uint32_t>& indices,
                 std::vector<ConnectionOwner>* owners) {
    reply = Reply{};
    if (length != received.size() || length < kReplyHeaderSize || length > kMaxReplySize) {
        return false;
    }
    const Reader in(received);
    if (in.U16(0) != kProtocolVersion) {
        return false;
    }
    reply.Kind = static_cast<ReplyKind>(in.U16(2));
    reply.Sequence = in.U32(4);
    if (!GetReplyFields(in, reply)) {
        return false;
    }
    const bool changes = reply.Kind == ReplyKind::TableChanges;
    const bool chunk = reply.Kind == ReplyKind::TableChunk || changes;
    const std::size_t rowCount = CarriesRows(reply.Kind) ? in.U16(10) : 0;
    if (rowCount > kRowsPerChunk || length != kReplyHeaderSize + rowCount * kRowSize) {
        return false;
    }
    if (chunk &&
        (reply.ChunkIndex >= kMaxChunks || (!reply.LastChunk && rowCount != kRowsPerChunk))) {
        return false;
    }
    const std::size_t firstRow = rows.size();
    const std::size_t firstIndex = indices.size();
    const std::size_t firstOwner = owners != nullptr ? owners->size() : 0;
    for (std::size_t i = 0; i < rowCount; ++i) {
        const Reader record = in.At(kReplyHeaderSize + i * kRowSize);
        TcpRow row;
        ConnectionOwner owner;
        row.State = static_cast<TcpState>(record.U8(kRowStateOffset));
        const std::uint32_t index = record.U32(kRowIndexOffset);
        if (!GetName(record, row) || !KnownState(record.U8(kRowStateOffset)) ||
            !record.Zero(kRowStateOffset + 1, kRowIndexOffset) || !GetOwner(record, owner) ||
            (changes ? index >= reply.TableRows : index != 0) || !CanNameConnection(row)) {
            rows.resize(firstRow);
            indices.resize(firstIndex);
            if (owners != nullptr) {
                owners->resize(firstOwner);
            }
            return false;
        }
        row.OwnerPid = owner.Pid;
        rows.push_back(row);
        if (owners != nullptr) {
            owners->push_back(owner);
        }
        if (changes) {
            indices.push_back(index);
        }
    }
    return true;
}

}  // namespace quarnel::platform
