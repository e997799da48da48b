#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <string>

#include "engine/CloseReport.h"
#include "engine/RuleSet.h"

namespace quarnel {

// One connection the guard closed, or missed (blocked, but gone before it could be closed).
struct CloseRecord {
    std::chrono::system_clock::time_point Time;
    bool Missed = false;
    platform::TcpRow Row;
    Verdict Why = Verdict::Passed;
    platform::ConnectionOwner Owner;
    std::string Line;        // as the log writes it (see CloseLine)
    std::string Connection;  // see ConnectionText
    std::string Rule;        // see RuleText
    std::string User;        // the owner's user by name; empty when the owner is not known
};

// What the window keeps of closes for its user: the latest ones for the list of recent closes,
// how many since start for the tray icon, and the closes not yet told in a notification, told
// together so that a storm makes one notification, not hundreds.
class CloseRecords {
public:
    explicit CloseRecords(std::size_t kept = 500) : kept_(kept) {}

    // How lines name an owner's user; without it, by number.
    void NameUsersBy(UserNameOf userName) { userName_ = std::move(userName); }
    // How lines name another network namespace; without it, "net:[INODE]".
    void NameNamespacesBy(NamespaceNameOf namespaceName) {
        namespaceName_ = std::move(namespaceName);
    }

    void Add(const platform::TcpRow& row, Verdict why, const RuleSet& rules,
             const platform::ConnectionOwner& owner, bool missed,
             std::chrono::system_clock::time_point now = std::chrono::system_clock::now());

    // The latest records, oldest first, at most the number kept.
    const std::deque<CloseRecord>& Recent() const { return recent_; }
    // Grows with every record added: whether anything changed since a caller last looked.
    std::uint64_t Added() const { return closed_ + missed_; }
    std::uint64_t ClosedCount() const { return closed_; }
    std::uint64_t MissedCount() const { return missed_; }
    // Closes since start by the list entry that blocked them: "local 22", "remote 6000-6063".
    // A list may be long: past kEntriesCounted entries the rest count under "other".
    static constexpr std::size_t kEntriesCounted = 1000;
    const std::map<std::string, std::uint64_t>& ClosedByEntry() const { return byEntry_; }

    // The notification of what was added since the last one: one close as its line, several
    // as their count ("12 connections closed, 1 missed"; "2 blocked connections missed"). Empty
    // when nothing was added.
    std::string TakeNotice();

private:
    std::size_t kept_;
    std::deque<CloseRecord> recent_;
    UserNameOf userName_;
    NamespaceNameOf namespaceName_;
    std::map<std::string, std::uint64_t> byEntry_;
    std::uint64_t closed_ = 0, missed_ = 0;
    std::uint64_t closedTold_ = 0, missedTold_ = 0;
};

}  // namespace quarnel
