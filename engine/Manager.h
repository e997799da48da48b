#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "container/List.h"
#include "container/Value.h"
#include "engine/ConnectionCache.h"
#include "engine/ConnectionTable.h"
#include "engine/ManagerWindow.h"
#include "engine/RuleSet.h"
#include "engine/SettingsStore.h"
#include "platform/HostAddressSource.h"

namespace quarnel {

// View modes: which list the window shows.
enum ViewMode : std::int16_t {
    ModeCurrentConnections = 0,
    ModeLocalIP = 1,
    ModeAllowedIP = 2,
    ModeBlockedLocalPorts = 3,
    ModeBlockedRemotePorts = 4,
};

// Any non-zero number is true; anything that is not a number is false.
bool ToBoolean(const Value& value);

// The stored text of one piece of a port list: its port or range as platform::PortEntryText
// writes it. None for what the entry box refuses (0, 70000, "abc"), which would block nothing.
std::optional<std::string> PortListEntry(std::string_view piece);
// The same for a piece of the allowed list: the piece as stored, or, for a form only the entry
// box reads ("010.0.0.1"), as the box would store it. None for what the entry box refuses.
std::optional<std::string> AllowedListEntry(std::string_view piece);

// Appends to oList, in order, each non-empty piece of text between separators that converts to
// the list's type, as form writes it when given; returns the pieces that do not, or that form
// rejects (nothing of them is appended).
std::vector<std::string> AddPieces(
    List& oList, std::string_view text, char separator,
    const std::function<std::optional<std::string>(std::string_view)>& form = {});

// Owns the rule lists and the view mode, and fills the window's list, heading and editing
// controls. The table, the cache, the store and the address source are the engine's; the
// Manager only refers to them.
class Manager {
public:
    Manager(const TcpTable& table, ConnectionCache& cache, SettingsStore& store,
            platform::HostAddressSource& hosts);
    Manager(const Manager&) = delete;
    Manager& operator=(const Manager&) = delete;

    void SetCurrentMode(std::int16_t iMode);
    void SetLists();
    void LoadInListbox();
    void SetMenus();
    void RefreshCurrentMode();
    void RefreshLocalIPList();
    void SaveChanges();
    void AddLocalIPSToAllowed();
    void LoadListFromString(List& oList, const std::string& sString);
    std::string SaveListToString(const List& oList) const;
    void SetCaptions();
    // Rebuilds the connection lines from the latest table read; the list box follows later.
    void RefreshCurrentConnections();
    // The rows or their verdicts changed: the lines are rebuilt when someone looks at them.
    void ConnectionsChanged() { connectionsStale_ = true; }
    // Rebuilds the lines if the rows changed since they were built: what a window about to show
    // them calls, so that no line is built while nobody looks.
    void RefreshCurrentConnectionsIfStale();
    // Who the connection of a connection line shown in the list box belongs to, as the table's
    // source knows it now; none past the lines.
    std::optional<platform::ConnectionOwner> OwnerOfConnectionLine(std::int32_t line) const;
    // The row behind a connection line shown in the list box, as it was read; none past them.
    std::optional<platform::TcpRow> RowOfShownLine(std::int32_t line) const;
    // The list box now shows the connection lines last built (oCurrentConnectionsCached equals
    // oCurrentConnections): the rows behind them are those the lines were built from.
    void ConnectionLinesShown() { shownRows_ = lineRows_; }

    // Reads the three rule lists from the store, a missing key giving its default, and compiles
    // them. What the user must know about it (a store that could not be read, entries left
    // out); empty when the rules were loaded as stored.
    std::string LoadSettings();
    // Compiles the three rule lists into the rules the blocking pass judges by. Every edit of a
    // list is followed by this (SaveChanges does it, with clearing the cache).
    void CompileRules();
    const RuleSet& Rules() const { return compiledRules_; }
    // The rows as last read, for what the window asks of them.
    const TcpTable& Table() const { return table_; }
    // Writes the three rule lists. False when the store could not keep them: the lists stay
    // in memory and the user is told (once, until a write succeeds again).
    [[nodiscard]] bool SaveSettings();

    List oLocalIP;
    List oAllowedIP;
    List oBlockedLocalPorts;
    List oBlockedRemotePorts;
    List oCurrentConnections;
    List oCurrentConnectionsCached;
    std::int16_t CurrentMode = ModeCurrentConnections;
    std::string CurrentModeDescriptor;
    List* CurrentList = nullptr;
    // Called whenever the rules are compiled anew (the lists loaded, or edited and saved): the
    // engine hands them to the system from here, in the same moment the pass starts to judge by
    // them.
    std::function<void()> RulesChanged;
    // Who a row belongs to, as the table's source knows it; without it, nobody.
    std::function<platform::ConnectionOwner(const platform::TcpRow&)> OwnerOfRow;
    // The window; none until start-up gives it. Without it, nothing is shown and both check
    // boxes count as not set.
    ManagerWindow* oMainForm = nullptr;

private:
    // Empties oList and appends each piece of text of its kind, a port entry in its one form;
    // the pieces that are not.
    std::vector<std::string> FillList(List& oList, std::string_view text);

    const TcpTable& table_;
    ConnectionCache& cache_;
    SettingsStore& store_;
    platform::HostAddressSource& hosts_;
    bool saveFailureShown_ = false;
    RuleSet compiledRules_;
    bool connectionsStale_ = false;  // the lines no longer match the rows
    // The row of each connection line last built, and of each line the list box shows: until
    // the list box follows, the two differ.
    std::vector<platform::TcpRow> lineRows_;
    std::vector<platform::TcpRow> shownRows_;
};

}  // namespace quarnel
