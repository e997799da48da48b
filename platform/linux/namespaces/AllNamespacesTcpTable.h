#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/linux/LinuxTableSource.h"
#include "platform/linux/events/ChangedRows.h"
#include "platform/linux/events/CookieIndex.h"
#include "platform/linux/namespaces/OtherNamespaces.h"
#include "platform/linux/sockdiag/SocketInodeReader.h"

namespace quarnel::platform {

// The table of every network namespace there is: the own namespace's rows first, as its source
// hands them (followed through the kernel's reports, with owners and the payload filter), then
// those of every other namespace, tagged with their namespace. The others' rows follow the
// reports the own source hands on (TakeOtherNamespaces) at once, so that a connection made there
// shows in the next read. A namespace is read whole when it is first guarded, when reports were
// lost, ReadEvery after reports for it came (for what they cannot tell: time-wait and half-open
// rows), every UnreportedEvery while it has rows that end unreported, and else only every
// QuietEvery; since a read inside a namespace walks every socket of the machine, those reads
// that are not a must come one at a time, each 99 times the length of the one before after it. The
// namespaces are listed again every ListEvery: one made since is read from then on, one gone leaves
// nothing behind. Closes go to the table of the row's namespace.
//
// Anyone may make namespaces, and each open table holds descriptors and a dump buffer: at most
// MostOpen tables are open at once. Another namespace's table is opened when it must be read whole
// or close a row, in place of the one used longest ago; meanwhile its rows follow its reports.
//
// A read costs what changed: the others' rows keep their places; one that ends gives its place to
// the last row, and when the own rows grow or shrink only as many of the others move.
class AllNamespacesTcpTable final : public ForwardingTcpTable {
public:
    using Clock = std::chrono::steady_clock;
    struct Options {
        Clock::duration ReadEvery = std::chrono::milliseconds(100);
        Clock::duration ListEvery = std::chrono::seconds(1);
        Clock::duration UnreportedEvery = std::chrono::seconds(1);
        Clock::duration QuietEvery = std::chrono::seconds(20);
        // Whether the own source hands on the others' reports (it follows the kernel's reports
        // of every namespace); without them each namespace is read whole every ReadEvery.
        bool Reported = true;
        // The most namespaces whose tables are open at once (at least one).
        std::size_t MostOpen = 512;
        std::function<Clock::time_point()> Time = Clock::now;
    };

    // Everything else goes to own, the own namespace's source.
    AllNamespacesTcpTable(std::unique_ptr<LinuxTableSource> own,
                          std::unique_ptr<OtherNamespaces> others, Options options);

    // The own source's changes pass through; the other namespaces' rows that changed or moved
    // are added to them.
    [[nodiscard]] ReadResult Read(std::vector<TcpRow>& rows, TableChanges* changes) override;
    [[nodiscard]] bool CloseConnection(const TcpRow& row) override;
    // The own source names every namespace's rows, as the kernel reported who connected or
    // listened, and those older than the reports by the process that holds them (looked for
    // once, as the namespace is first read); a connection accepted in another namespace, by the
    // process that listens there on its port.
    ConnectionOwner Owner(const TcpRow& row) const override;
    // The other namespaces' reports are read here: none go on.
    [[nodiscard]] bool TakeOtherNamespaces(std::vector<TcpRow>& rows) override {
        rows.clear();
        return true;
    }

    // The namespaces guarded (read at least once), the own one among them.
    std::size_t Guarded() const;
    // The other namespaces whose tables are open now.
    std::size_t Open() const { return used_.size(); }
    // The other namespaces guarded, by inode, with what the log calls them.
    std::vector<std::pair<std::uint32_t, std::string>> GuardedNamespaces() const;
    // The container the namespace with inode is, while it is guarded and its cgroup told.
    std::optional<Container> ContainerIn(std::uint32_t inode) const;
    // What the log calls the namespace with inode: its name while it is guarded.
    std::string NameOf(std::uint32_t inode) const;
    // The oldest thing to tell not yet taken: a namespace guarded from now on or gone, a listing
    // or an opening that failed (each failure once, until it works again).
    struct Note {
        bool Problem = false;
        std::string Text;
        // A namespace guarded from now on, or gone: what a log may sum under churn.
        enum class Change { None, Guarded, Gone };
        Change Kind = Change::None;
    };
    std::optional<Note> TakeNote();
    // The longest the caller may wait before the next read, so that the other namespaces are
    // read when due.
    Clock::duration NextReadIn() const;

private:
    struct Space {
        std::string Name;
        std::optional<Container> InContainer;
        std::unique_ptr<TcpTableSource> Table;    // while open
        std::list<std::uint32_t>::iterator Used;  // its place in used_, while open
        CookieIndex At;                           // where each of its rows stands in out_
        Clock::time_point NextRead{};
        bool Urgent = false;  // read it whole before anything else: new, or its reports lost
        bool Fresh = true;    // never read yet: not told as guarded
    };
    // The namespace's table, opened when it is not (the one used longest ago closed to make
    // room); nullptr, with problem, when it cannot be opened.
    TcpTableSource* TableOf(std::uint32_t inode, Space& space, std::string& problem);
    void CloseTable(Space& space);
    // Lists the namespaces: opens the new, drops the gone.
    void Relist(Clock::time_point now);
    // Applies the reports of the other namespaces; whether any was of one guarded.
    bool TakeReports(Clock::time_point now);
    // Reads whole every namespace that is due; one whose table fails is dropped (it is opened
    // afresh at the next listing).
    void ReadDue(Clock::time_point now);
    [[nodiscard]] bool ReadWhole(std::uint32_t inode, Space& space, Clock::time_point now);
    // Notes the sockets of a namespace read for the first time (fresh_, with freshInodes_)
    // whose owners nobody reported, for one look at who holds them.
    void WantHolders();
    // The own rows as their source changed them, the others moved to make room or fill it.
    void TakeOwn(ReadResult result);
    void MoveOthers(std::size_t from, std::size_t to);
    void Put(Space& space, const TcpRow& row);
    void Remove(Space& space, std::uint64_t cookie);
    void RemoveAll(Space& space);
    // The other row now at index: its namespace learns where it stands.
    void Place(std::size_t index);
    void Tell(bool problem, std::string text, Note::Change change = Note::Change::None);

    std::unique_ptr<OtherNamespaces> others_;
    Options options_;
    std::map<std::uint32_t, Space> spaces_;
    std::list<std::uint32_t> used_;  // the namespaces whose tables are open, last used first
    std::vector<TcpRow> ownRows_;    // as the own source keeps them
    TableChanges ownChanges_;
    std::size_t ownCount_ = 0;  // the own rows at the head of out_
    std::vector<TcpRow> out_;   // the whole table as it goes out next
    ChangedRows changed_;       // of out_ since it was last handed out
    bool deferred_ = false;     // whole reads wait for the next read, so the reports go out first
    bool pending_ = false;      // urgent whole reads wait for the next read
    Clock::time_point nextPaced_{};                 // no whole read that is not urgent before then
    std::vector<TcpRow> reports_, fresh_, moving_;  // storage reused from read to read
    std::vector<std::uint64_t> cookies_, found_;
    std::vector<std::uint64_t> freshInodes_;  // of fresh_'s rows, when its read listed them
    std::vector<SocketOwner> holderless_;     // sockets whose holders the next look is for
    Clock::time_point nextList_{};
    bool listFailed_ = false;
    std::set<std::uint32_t> unopened_;  // namespaces that could not be opened, told once
    std::vector<Note> notes_;
};

}  // namespace quarnel::platform
