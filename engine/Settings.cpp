#include <array>
#include <string>
#include <string_view>

#include "engine/Manager.h"
#include "engine/Settings.h"
#include "platform/RuleEntry.h"

namespace quarnel {

std::string SaveFailedText(const std::string& location) {
    return "The rule lists could not be saved to " + location +
           ". They stay in effect until Quarnel ends, but the changes will be lost at the next "
           "start unless that file can be written.";
}

std::string LoadProblemText(const std::string& location, const StoreCondition& condition) {
    switch (condition.State) {
        case StoreCondition::Kind::Read:
            break;
        case StoreCondition::Kind::Unreadable:
            return "The rules could not be read from " + location + " (" + condition.Detail +
                   "): no port is blocked. That file is left as it is; rules you enter now "
                   "apply until Quarnel ends, but are not saved.";
        case StoreCondition::Kind::SetAside:
            return "The settings file " + location + " could not be understood and was kept as " +
                   condition.Detail +
                   ". Quarnel starts with the default rules: no port is blocked.";
    }
    return {};
}

std::string UnloadedPiecesText(const std::vector<std::pair<std::string, std::string>>& pieces) {
    if (pieces.empty()) {
        return {};
    }
    std::string text = "These stored entries are not valid and were left out:";
    for (const auto& [list, piece] : pieces) {
        text += " \"" + piece + "\" (" + list + "),";
    }
    text.back() = '.';
    return text;
}

std::string KeptCopyText(const std::string& copy) {
    if (copy.empty()) {
        return "No copy of the stored lists could be kept: the next save drops them.";
    }
    return "The stored lists as they were are kept in " + copy + ".";
}

std::optional<std::string> PortListEntry(std::string_view piece) {
    if (const std::optional<platform::PortRange> range = platform::ParsePortEntry(piece)) {
        return platform::PortEntryText(*range);
    }
    return std::nullopt;
}

std::optional<std::string> AllowedListEntry(std::string_view piece) {
    if (platform::ParseAddressEntry(piece).Is == platform::AddressEntry::Kind::Prefix) {
        return std::string(piece);  // as stored
    }
    // What only the entry box reads ("010.0.0.1") goes in as the box would have stored it.
    const platform::AddressEntry entry = platform::ParseAddressEntry(piece, true);
    if (entry.Is != platform::AddressEntry::Kind::Prefix) {
        return std::nullopt;
    }
    return platform::AddressEntryText(entry.Prefix);
}

std::vector<std::string> AddPieces(
    List& oList, std::string_view text, char separator,
    const std::function<std::optional<std::string>(std::string_view)>& form) {
    std::vector<std::string> notAdded;
    while (!text.empty()) {
        const auto end = text.find(separator);
        const std::string_view piece = text.substr(0, end);
        const std::optional<std::string> stored = form ? form(piece) : std::string(piece);
        if (!piece.empty() && (!stored || oList.AddItem(*stored) < 0)) {
            notAdded.emplace_back(piece);  // not of the list's type: nothing appended
        }
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    }
    return notAdded;
}

namespace {

// The three rule lists as the store keeps them, in the order they are read and written: the
// key, the value a missing key stands for, and what the user calls the list.
struct StoredList {
    List Manager::*Member;
    const char* Key;
    const char* Default;
    const char* Name;
};
constexpr std::array<StoredList, 3> kStoredLists = {{
    {&Manager::oBlockedLocalPorts, BlockedLocalPortsKey, "", "blocked local ports"},
    {&Manager::oBlockedRemotePorts, BlockedRemotePortsKey, "", "blocked remote ports"},
    {&Manager::oAllowedIP, AllowedIPKey, DefaultAllowedIP, "allowed IP addresses"},
}};

}  // namespace

std::vector<std::string> Manager::FillList(List& oList, std::string_view text) {
    oList.Reset();
    const bool ports = &oList == &oBlockedLocalPorts || &oList == &oBlockedRemotePorts;
    return AddPieces(oList, text, ',', ports ? PortListEntry : AllowedListEntry);
}

void Manager::LoadListFromString(List& oList, const std::string& sString) {
    (void)FillList(oList, sString);
}

std::string Manager::SaveListToString(const List& oList) const {
    std::string text;
    const std::int32_t count = oList.GetItemCount();
    for (std::int32_t i = 0; i < count; ++i) {
        if (i > 0) {
            text += ',';
        }
        text += ValueText(oList.GetItem(i));
    }
    return text;
}

std::string Manager::LoadSettings() {
    std::array<std::string, kStoredLists.size()> stored;
    for (std::size_t i = 0; i < stored.size(); ++i) {
        stored[i] = store_.Read(kStoredLists[i].Key, kStoredLists[i].Default);
    }
    std::vector<std::pair<std::string, std::string>> unloaded;
    for (std::size_t i = 0; i < stored.size(); ++i) {
        for (std::string& piece : FillList(this->*kStoredLists[i].Member, stored[i])) {
            unloaded.emplace_back(kStoredLists[i].Name, std::move(piece));
        }
    }
    CompileRules();
    const StoreCondition condition = store_.Condition();
    // The failure to keep the rules is told now; at every edit and at the end it would be news
    // to nobody.
    saveFailureShown_ = condition.State == StoreCondition::Kind::Unreadable;
    std::string text = LoadProblemText(store_.Location(), condition);
    const std::string pieces = UnloadedPiecesText(unloaded);
    if (!pieces.empty()) {
        // The next save writes the lists without them: what the user had is kept first.
        text += (text.empty() ? "" : "\n\n") + pieces + " " + KeptCopyText(store_.KeepCopy());
    }
    return text;
}

void Manager::CompileRules() {
    compiledRules_ = RuleSet(oAllowedIP, oBlockedLocalPorts, oBlockedRemotePorts);
    if (RulesChanged) {
        RulesChanged();
    }
}

bool Manager::SaveSettings() {
    for (const StoredList& list : kStoredLists) {
        store_.Write(list.Key, SaveListToString(this->*list.Member));
    }
    if (store_.Flush()) {
        saveFailureShown_ = false;  // a later failure is news again
        return true;
    }
    // The rules keep working from memory; the user must know they will not survive a restart.
    if (!saveFailureShown_ && oMainForm != nullptr) {
        oMainForm->ShowMessage(SaveFailedText(store_.Location()));
        saveFailureShown_ = true;
    }
    return false;
}

void Manager::SaveChanges() {
    (void)SaveSettings();  // a failure has been told; the changed rules apply all the same
    // Every connection is judged afresh under the edited rules.
    CompileRules();
    ClearConnectionCache(cache_);
    ConnectionsChanged();  // rows not judged since are left out of the lines
}

}  // namespace quarnel
