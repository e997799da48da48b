#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/TcpTableSource.h"
#include "platform/linux/namespaces/OtherNamespaces.h"

namespace quarnel::platform {

// The table of every network namespace there is: the own namespace's rows first, as its source
// hands them (followed through the kernel's reports, with owners and the payload filter), then
// those of every other namespace, each read whole at most every ReadEvery and tagged with its
// namespace. The namespaces are listed again every ListEvery: one made since is read from then
// on, one gone leaves nothing behind. Closes go to the table of the row's namespace.
class AllNamespacesTcpTable final : public TcpTableSource {
public:
    using Clock = std::chrono::steady_clock;
    struct Options {
        Clock::duration ReadEvery = std::chrono::milliseconds(100);
        Clock::duration ListEvery = std::chrono::seconds(1);
        std::function<Clock::time_point()> Time = Clock::now;
    };

    AllNamespacesTcpTable(std::unique_ptr<TcpTableSource> own,
                          std::unique_ptr<OtherNamespaces> others, Options options);

    // The own source's changes pass through; the other namespaces' rows that changed or moved
    // are added to them.
    [[nodiscard]] ReadResult Read(std::vector<TcpRow>& rows, TableChanges* changes) override;
    int WaitDescriptor() const override { return own_->WaitDescriptor(); }
    [[nodiscard]] bool CloseConnection(const TcpRow& row) override;
    CloseAbility CanCloseConnections() override { return own_->CanCloseConnections(); }
    void SetRules(const BlockingRules& rules) override { own_->SetRules(rules); }
    std::optional<SourceNotice> TakeNotice() override { return own_->TakeNotice(); }
    void TakeMissed(std::vector<TcpRow>& rows) override { own_->TakeMissed(rows); }
    void TakeOwners(std::vector<SocketOwner>& owners) override { own_->TakeOwners(owners); }
    // Only the own namespace's rows are named for now: the others' owners are not looked for.
    ConnectionOwner Owner(const TcpRow& row) const override {
        return row.Namespace == 0 ? own_->Owner(row) : ConnectionOwner{};
    }

    // The namespaces guarded, the own one among them.
    std::size_t Guarded() const { return 1 + spaces_.size(); }
    // What the log calls the namespace with inode: its name while it is guarded.
    std::string NameOf(std::uint32_t inode) const;
    // The oldest thing to tell not yet taken: a namespace guarded from now on or gone, a listing
    // or an opening that failed (each failure once, until it works again).
    struct Note {
        bool Problem = false;
        std::string Text;
    };
    std::optional<Note> TakeNote();
    // The longest the caller may wait before the next read, so that the other namespaces are
    // read when due.
    Clock::duration NextReadIn() const;

private:
    struct Space {
        std::string Name;
        std::unique_ptr<TcpTableSource> Table;
        std::vector<TcpRow> Rows;
    };
    // Lists the namespaces: opens the new, drops the gone.
    void Relist();
    // Reads every other namespace whole into next_; a namespace whose table fails is dropped
    // (it is opened afresh at the next listing).
    void ReadOthers();
    void Tell(bool problem, std::string text);

    std::unique_ptr<TcpTableSource> own_;
    std::unique_ptr<OtherNamespaces> others_;
    Options options_;
    std::map<std::uint32_t, Space> spaces_;
    std::vector<TcpRow> shown_;  // the other namespaces' rows as last handed out, after own's
    std::vector<TcpRow> next_;   // their rows as read now
    std::size_t ownCount_ = 0;   // the own rows last handed out
    Clock::time_point nextList_{};
    Clock::time_point nextRead_{};
    bool listFailed_ = false;
    std::set<std::uint32_t> unopened_;  // namespaces that could not be opened, told once
    std::vector<Note> notes_;
};

}  // namespace quarnel::platform
