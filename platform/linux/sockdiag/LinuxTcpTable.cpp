#include "platform/linux/sockdiag/LinuxTcpTable.h"

#include <arpa/inet.h>
#include <libmnl/libmnl.h>
#include <linux/capability.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "platform/linux/UniqueFd.h"
#include "platform/linux/privileges/ProcessRights.h"
#include "platform/linux/sockdiag/SockDiagMessages.h"
#include "platform/linux/sockdiag/SockDiagSocket.h"

namespace quarnel::platform {

namespace {

// The kernel sizes a dump's datagrams to the reader's buffer, up to 32 KiB on current kernels;
// more room costs nothing and spares receives should that limit grow.
constexpr std::size_t kDumpBufferSize = 64 * 1024;
// An acknowledgement carries at most the request it answers.
constexpr std::size_t kAnswerBufferSize = 1024;

// A listener of the table's own whose only purpose is to be closed by the permission question.
// IP_FREEBIND lets it bind 127.0.0.1 even while the loopback device is down; it never accepts
// anything (backlog 0, closed right away).
struct ProbeListener {
    UniqueFd fd;
    TcpRow row;

    bool Open() {
        fd.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        if (!fd) {
            return false;
        }
        const int on = 1;
        if (::setsockopt(fd.Get(), IPPROTO_IP, IP_FREEBIND, &on, sizeof on) != 0) {
            return false;
        }
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&address), length) != 0 ||
            ::listen(fd.Get(), 0) != 0 ||
            ::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            return false;
        }
        std::uint64_t cookie = 0;
        socklen_t cookieLength = sizeof cookie;
        if (::getsockopt(fd.Get(), SOL_SOCKET, SO_COOKIE, &cookie, &cookieLength) != 0) {
            return false;
        }
        row.State = TcpState::Listening;
        row.Family = SocketFamily::IPv4;
        row.LocalAddress = MappedIPv4(address.sin_addr.s_addr);
        row.LocalPort = ntohs(address.sin_port);
        row.Cookie = cookie;
        return true;
    }
};

}  // namespace

std::unique_ptr<LinuxTcpTable> LinuxTcpTable::Open(int* errorNumber) {
    auto dump = SockDiagSocket::Open(errorNumber);
    if (!dump) {
        return nullptr;
    }
    auto close = SockDiagSocket::Open(errorNumber);
    if (!close) {
        return nullptr;
    }
    return std::make_unique<LinuxTcpTable>(std::move(dump), std::move(close));
}

LinuxTcpTable::LinuxTcpTable(std::unique_ptr<NetlinkChannel> dumpChannel,
                             std::unique_ptr<NetlinkChannel> closeChannel)
    : dump_(std::move(dumpChannel)),
      close_(std::move(closeChannel)),
      buffer_(std::make_unique<char[]>(kDumpBufferSize)) {}

ReadResult LinuxTcpTable::Read(std::vector<TcpRow>& rows, TableChanges* changes) {
    return Whole(ReadTableInStates(rows, TableLinuxStates()), changes);
}

bool LinuxTcpTable::ReadTableInStates(std::vector<TcpRow>& rows, std::uint32_t linuxStates) {
    scratch_.clear();
    if (!DumpTable(linuxStates)) {
        // The rest of a dump cut short may still be queued; a fresh socket keeps it out of the
        // next read. Should no socket open now, the next read's request tries again.
        (void)dump_->Reset();
        return false;
    }
    rows.swap(scratch_);
    return true;
}

bool LinuxTcpTable::DumpTable(std::uint32_t linuxStates) {
    alignas(nlmsghdr) char request[kDiagRequestSize];
    if (oneWalk_) {
        switch (Dump(*PutTableDumpRequest(request, ++dumpSequence_, linuxStates))) {
            case DumpResult::Whole:
                return true;
            case DumpResult::Failed:
                return false;
            case DumpResult::Unsupported:
                // A kernel without the older request: ask family by family from now on.
                oneWalk_ = false;
                scratch_.clear();
                break;
        }
    }
    for (const std::uint8_t family : {AF_INET, AF_INET6}) {
        if (Dump(*PutFamilyDumpRequest(request, family, ++dumpSequence_, linuxStates)) !=
            DumpResult::Whole) {
            return false;
        }
    }
    return true;
}

LinuxTcpTable::DumpResult LinuxTcpTable::Dump(const nlmsghdr& request) {
    if (!dump_->Send(request)) {
        return DumpResult::Failed;
    }
    for (;;) {
        const ssize_t length = dump_->Receive(buffer_.get(), kDumpBufferSize);
        if (length <= 0) {
            return DumpResult::Failed;
        }
        // Stops at the end of the dump, fails on an error answer, one that is not ours, or a
        // message that does not parse.
        const int result =
            mnl_cb_run(buffer_.get(), static_cast<std::size_t>(length), request.nlmsg_seq,
                       dump_->PortId(), &LinuxTcpTable::CollectRow, this);
        if (result == MNL_CB_STOP) {
            return DumpResult::Whole;
        }
        if (result != MNL_CB_OK) {
            // libmnl hands on the kernel's error answer as errno; these two mean a request of a
            // type (EINVAL) or of a service (EOPNOTSUPP) the kernel does not have. Nothing else
            // on this path sets them.
            return errno == EINVAL || errno == EOPNOTSUPP ? DumpResult::Unsupported
                                                          : DumpResult::Failed;
        }
    }
}

bool LinuxTcpTable::ReadSocketInodes(const EachSocket& each) {
    inodes_ = &each;
    const bool read = DumpTable(TableLinuxStates());
    inodes_ = nullptr;
    if (!read) {
        (void)dump_->Reset();  // as after a read cut short
    }
    return read;
}

int LinuxTcpTable::CollectRow(const nlmsghdr* message, void* table) {
    auto& self = *static_cast<LinuxTcpTable*>(table);
    TcpRow row;
    switch (DecodeTcpRow(*message, row)) {
        case DecodeResult::Row:
            if (self.inodes_ != nullptr) {
                (*self.inodes_)(row, SocketInodeOf(*message));
            } else {
                self.scratch_.push_back(row);
            }
            return MNL_CB_OK;
        case DecodeResult::NotARow:
            return MNL_CB_OK;
        case DecodeResult::Malformed:
            break;
    }
    errno = EBADMSG;
    return MNL_CB_ERROR;
}

bool LinuxTcpTable::CloseConnection(const TcpRow& row) {
    return Destroy(row) == 0;
}

int LinuxTcpTable::Destroy(const TcpRow& row) {
    alignas(nlmsghdr) char request[kDiagRequestSize];
    return Ask(*PutDestroyRequest(request, row, ++closeSequence_));
}

SocketLookup::Found LinuxTcpTable::LookUp(const TcpRow& row, TcpState& state) {
    alignas(nlmsghdr) char request[kDiagRequestSize];
    std::uint8_t linuxState = 0;
    switch (Ask(*PutLookupRequest(request, row, ++closeSequence_), &linuxState)) {
        case 0:
            state = TableState(linuxState);
            return Found::Socket;
        case ENOENT:
            return Found::NoSocket;
        default:
            return Found::Failed;
    }
}

SocketLookup::Found LinuxTcpTable::Find(TcpRow& row) {
    alignas(nlmsghdr) char request[kDiagRequestSize];
    TcpRow named = row;
    named.Cookie = ~std::uint64_t{0};  // the kernel's "any cookie"
    named.Interface = 0;
    std::uint8_t linuxState = 0;
    switch (Ask(*PutLookupRequest(request, named, ++closeSequence_), &linuxState, &row)) {
        case 0:
            return Found::Socket;
        case ENOENT:
            return Found::NoSocket;
        default:
            return Found::Failed;
    }
}

int LinuxTcpTable::Ask(const nlmsghdr& request, std::uint8_t* state, TcpRow* row) {
    const std::uint32_t sequence = request.nlmsg_seq;
    if (!close_->Send(request)) {
        (void)close_->Reset();  // tried again by the next request
        return kNoAnswer;
    }
    alignas(nlmsghdr) char answer[kAnswerBufferSize];
    for (;;) {
        const ssize_t received = close_->Receive(answer, sizeof answer);
        if (received <= 0) {
            (void)close_->Reset();  // tried again by the next request
            return kNoAnswer;
        }
        int length = static_cast<int>(received);
        for (auto* message = reinterpret_cast<const nlmsghdr*>(answer);
             mnl_nlmsg_ok(message, length); message = mnl_nlmsg_next(message, &length)) {
            // Answers to earlier requests that were cut short are not this one's.
            if (message->nlmsg_seq != sequence) {
                continue;
            }
            if (state != nullptr && message->nlmsg_type == SOCK_DIAG_BY_FAMILY) {
                if (mnl_nlmsg_get_payload_len(message) < sizeof(inet_diag_msg)) {
                    return kNoAnswer;
                }
                inet_diag_msg socket;
                std::memcpy(&socket, mnl_nlmsg_get_payload(message), sizeof socket);
                *state = socket.idiag_state;
                if (row != nullptr && DecodeTcpRow(*message, *row) != DecodeResult::Row) {
                    return kNoAnswer;
                }
                return 0;
            }
            if (message->nlmsg_type != NLMSG_ERROR) {
                continue;
            }
            if (mnl_nlmsg_get_payload_len(message) < sizeof(nlmsgerr)) {
                return kNoAnswer;
            }
            const auto* error = static_cast<const nlmsgerr*>(mnl_nlmsg_get_payload(message));
            return -error->error;
        }
    }
}

CloseAbility LinuxTcpTable::CanCloseConnections() {
    ProbeListener probe;
    if (!probe.Open()) {
        return CanCloseWithoutProbe();
    }
    switch (Destroy(probe.row)) {
        case 0:
            return CloseAbility::Allowed;
        case EPERM:
        case EACCES:  // a security module's denial
            return CloseAbility::NoPermission;
        case EOPNOTSUPP:  // a kernel built without sock_diag destroy
        case EINVAL:      // a kernel older than the request itself
            return CloseAbility::NotSupported;
        default:
            // ENOENT would mean the kernel did not find the probe, which says nothing about
            // permission; no answer at all says nothing either.
            return CloseAbility::Unknown;
    }
}

CloseAbility LinuxTcpTable::CanCloseWithoutProbe() {
    // A socket that cannot exist (port 0 at both ends): a kernel that can close on
    // request answers that it is not there; one that cannot says so before it looks.
    TcpRow nowhere;
    nowhere.Family = SocketFamily::IPv4;
    nowhere.LocalAddress = MappedIPv4(htonl(INADDR_LOOPBACK));
    nowhere.RemoteAddress = nowhere.LocalAddress;
    switch (Destroy(nowhere)) {
        case ENOENT:
            return HoldsCapabilities(std::uint64_t{1} << CAP_NET_ADMIN)
                       ? CloseAbility::Allowed
                       : CloseAbility::NoPermission;
        case EOPNOTSUPP:
        case EINVAL:
            return CloseAbility::NotSupported;
        default:
            return CloseAbility::Unknown;
    }
}

}  // namespace quarnel::platform
