#include "platform/windows/WindowsTcpTable.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "platform/windows/TcpRows.h"
#include "platform/windows/WideText.h"

namespace quarnel::platform {

namespace {

// Room for rows that arrive between asking for the size and reading.
constexpr std::size_t kHeadroom = 64 * sizeof(MIB_TCP6ROW_OWNER_PID);

template <typename Table>
void Append(const std::vector<std::uint8_t>& buffer, std::vector<TcpRow>& rows) {
    if (buffer.size() < sizeof(DWORD)) {
        return;  // a family the system does not have
    }
    const auto* table = reinterpret_cast<const Table*>(buffer.data());
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
        rows.push_back(RowOf(table->table[i]));
    }
}

// The error codes with which SetTcpEntry refuses a process that is not an administrator's:
// access denied, and on later Windows versions 317, a code without a message text.
bool IsDenied(unsigned long code) {
    return code == ERROR_ACCESS_DENIED || code == ERROR_MR_MID_NOT_FOUND;
}

}  // namespace

unsigned long WindowsTcpTable::ReadFamily(unsigned long family, std::vector<std::uint8_t>& buffer) {
    for (int attempt = 0; attempt < 4; ++attempt) {
        ULONG size = ULONG(buffer.size());
        const DWORD result = GetExtendedTcpTable(buffer.empty() ? nullptr : buffer.data(), &size,
                                                 FALSE, family, TCP_TABLE_OWNER_PID_ALL, 0);
        if (result == NO_ERROR) {
            buffer.resize(size);  // the rows end within what the system says it wrote
            return NO_ERROR;
        }
        if (result != ERROR_INSUFFICIENT_BUFFER) {
            buffer.clear();
            return result;
        }
        buffer.resize(size + kHeadroom);
    }
    buffer.clear();
    return ERROR_INSUFFICIENT_BUFFER;  // the table grew faster than it could be read
}

ReadResult WindowsTcpTable::Read(std::vector<TcpRow>& rows, TableChanges* changes) {
    // Read into storage that is reused, in the capacity the last read needed.
    readIPv4_.resize(std::max(ipv4_.size(), sizeof(MIB_TCPTABLE_OWNER_PID)));
    readIPv6_.resize(std::max(ipv6_.size(), sizeof(MIB_TCP6TABLE_OWNER_PID)));
    if (ReadFamily(AF_INET, readIPv4_) != NO_ERROR) {
        return ReadResult::Failed;  // the rows stay as the last read left them
    }
    // A machine without IPv6 has no IPv6 table: its connections are the IPv4 ones.
    (void)ReadFamily(AF_INET6, readIPv6_);
    if (changes != nullptr && handedTo_ == &rows && readIPv4_ == ipv4_ && readIPv6_ == ipv6_) {
        return ReadResult::Unchanged;
    }
    std::swap(ipv4_, readIPv4_);
    std::swap(ipv6_, readIPv6_);
    rows.clear();
    Append<MIB_TCPTABLE_OWNER_PID>(ipv4_, rows);
    Append<MIB_TCP6TABLE_OWNER_PID>(ipv6_, rows);
    handedTo_ = &rows;

    // What is remembered of connections lasts only while they are listed.
    pids_.clear();
    for (const TcpRow& row : rows) {
        pids_.push_back(row.OwnerPid);
    }
    std::sort(pids_.begin(), pids_.end());
    pids_.erase(std::unique(pids_.begin(), pids_.end()), pids_.end());
    names_.KeepOnly(pids_);
    std::erase_if(ipv6Told_, [&rows](const TcpRow& told) {
        return std::find(rows.begin(), rows.end(), told) == rows.end();
    });
    return Whole(true, changes);
}

bool WindowsTcpTable::CloseConnection(const TcpRow& row) {
    if (closeNothing_) {
        return false;
    }
    if (row.Family == SocketFamily::IPv6) {
        if (std::find(ipv6Told_.begin(), ipv6Told_.end(), row) == ipv6Told_.end()) {
            ipv6Told_.push_back(row);
            Tell(CloseAbility::Unknown,
                 "The rules block the IPv6 connection " + ConnectionText(row) +
                     ", but Quarnel cannot close it: Windows gives programs no way to close an "
                     "IPv6 connection. It stays open.");
        }
        return false;
    }
    const unsigned long result = entries_.SetTcpEntry(DeleteRowOf(row));
    if (result == NO_ERROR) {
        return true;
    }
    if (IsDenied(result)) {
        if (!std::exchange(deniedTold_, true)) {
            Tell(CloseAbility::NoPermission,
                 "Windows refused to close a connection: Quarnel does not run as an "
                 "administrator. It now only shows connections; to let it close them, start it "
                 "with \"Run as administrator\".");
        }
        closeNothing_ = true;
        return false;
    }
    // A connection that ended meanwhile is no news; anything else is told once.
    if (result != ERROR_NOT_FOUND && refusalsTold_.insert(result).second) {
        Tell(CloseAbility::Unknown, "Windows refused to close the connection " +
                                        ConnectionText(row) + " (error " + std::to_string(result) +
                                        ": " + SystemErrorText(result) + ").");
    }
    return false;
}

CloseAbility WindowsTcpTable::CanCloseConnections() {
    if (!entries_.CarriedOut()) {
        return CloseAbility::NotSupported;
    }
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return CloseAbility::Unknown;
    }
    TOKEN_ELEVATION elevation{};
    DWORD length = 0;
    const BOOL asked =
        GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &length);
    (void)CloseHandle(token);
    if (!asked) {
        return CloseAbility::Unknown;
    }
    return elevation.TokenIsElevated != 0 ? CloseAbility::Allowed : CloseAbility::NoPermission;
}

std::optional<SourceNotice> WindowsTcpTable::TakeNotice() {
    if (notices_.empty()) {
        return std::nullopt;
    }
    SourceNotice notice = std::move(notices_.front());
    notices_.pop_front();
    return notice;
}

void WindowsTcpTable::Tell(CloseAbility ability, std::string text) {
    notices_.push_back({ability, std::move(text)});
}

ConnectionOwner WindowsTcpTable::Owner(const TcpRow& row) const {
    ConnectionOwner owner;
    owner.Pid = row.OwnerPid;
    if (owner.Pid != 0) {
        const std::string& name = names_.NameOf(owner.Pid);
        std::size_t length = std::min(name.size(), owner.Command.size() - 1);
        while (length < name.size() && length > 0 && (name[length] & 0xC0) == 0x80) {
            --length;  // a name cut short is cut between characters
        }
        std::memcpy(owner.Command.data(), name.data(), length);
    }
    return owner;
}

}  // namespace quarnel::platform
