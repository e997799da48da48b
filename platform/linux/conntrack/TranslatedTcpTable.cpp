#include "platform/linux/conntrack/TranslatedTcpTable.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

namespace quarnel::platform {

namespace {

// A row whose ends a translation could have reached: connected, not listening.
bool Connected(const TcpRow& row) {
    return row.State != TcpState::Listening && row.RemotePort != 0;
}

TranslatedConnection KeyOf(const TcpRow& row) {
    return {row.LocalAddress, row.RemoteAddress, static_cast<std::uint16_t>(row.LocalPort),
            static_cast<std::uint16_t>(row.RemotePort), 0};
}

}  // namespace

void TranslatedTcpTable::SetRules(const BlockingRules& rules) {
    const bool wanted = !rules.BlockedLocalPorts.empty();
    // Connections already in the table were never looked at: the next read marks them all.
    markAll_ = markAll_ || (wanted && !wanted_);
    wanted_ = wanted;
    Inner().SetRules(rules);
}

std::optional<SourceNotice> TranslatedTcpTable::TakeNotice() {
    if (notice_) {
        return std::exchange(notice_, std::nullopt);
    }
    return Inner().TakeNotice();
}

void TranslatedTcpTable::Mark(TcpRow& row) const {
    row.OriginalPort = 0;
    if (!Connected(row)) {
        return;
    }
    const TranslatedConnection key = KeyOf(row);
    const auto at = std::ranges::lower_bound(translated_, key);
    if (at != translated_.end() && at->LocalAddress == key.LocalAddress &&
        at->RemoteAddress == key.RemoteAddress && at->LocalPort == key.LocalPort &&
        at->RemotePort == key.RemotePort && at->OriginalPort != key.LocalPort) {
        row.OriginalPort = at->OriginalPort;
    }
}

ReadResult TranslatedTcpTable::Read(std::vector<TcpRow>& rows, TableChanges* changes) {
    ReadResult result = Inner().Read(rows, changes);
    if (result == ReadResult::Failed || !wanted_ ||
        (result == ReadResult::Unchanged && !markAll_)) {
        return result;
    }
    if (markAll_) {
        markAll_ = false;
        result = Whole(true, changes);
    }
    const bool whole = changes == nullptr || changes->Whole;
    const auto looked = [&](auto&& each) {
        if (whole) {
            std::ranges::for_each(rows, each);
        } else {
            for (const std::size_t i : changes->Rows) {
                each(rows[i]);
            }
        }
    };
    std::size_t connected = 0;
    looked([&](const TcpRow& row) { connected += Connected(row) ? 1 : 0; });
    if (connected == 0) {
        return result;
    }
    if (!TranslatedDestinations::Tracking()) {
        translated_.clear();
        looked([this](TcpRow& row) { Mark(row); });
        return result;
    }
    // A few new connections are asked for one by one, each a lookup in the kernel's table; more
    // take one dump of the translated entries, whatever the table's size.
    bool read = true;
    if (connected <= kAskedOneByOne) {
        looked([&](TcpRow& row) {
            row.OriginalPort = 0;
            if (!read || !Connected(row)) {
                return;
            }
            TranslatedConnection connection = KeyOf(row);
            read = destinations_.Find(connection);
            if (connection.OriginalPort != row.LocalPort) {
                row.OriginalPort = connection.OriginalPort;
            }
        });
    } else {
        read = destinations_.Read(translated_);
        looked([this](TcpRow& row) { Mark(row); });
    }
    // A failed read marks nothing: the socket's own ports are judged as before, and the next
    // read that brings connections asks again. The user is told once, until it works again.
    if (!read && !failing_) {
        notice_ = SourceNotice{
            CloseAbility::Allowed,
            "Connections to published ports are judged by their socket's ports alone for now: "
            "connection tracking cannot be read (" +
                std::string(std::strerror(destinations_.Error())) + ")."};
    }
    failing_ = !read;
    return result;
}

}  // namespace quarnel::platform
