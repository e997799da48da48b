#include <string>
#include <string_view>

#include "engine/Manager.h"
#include "engine/Settings.h"

namespace quarnel {

std::string SaveFailedText(const std::string& location) {
    return "The rule lists could not be saved to " + location +
           ". They stay in effect until Quarnel ends, but the changes will be lost at the next "
           "start unless that file can be written.";
}

void AddPieces(List& oList, std::string_view text, char separator) {
    while (!text.empty()) {
        const auto end = text.find(separator);
        const std::string_view piece = text.substr(0, end);
        if (!piece.empty()) {
            // A piece that is not of the list's type is left out (AddItem appends nothing).
            (void)oList.AddItem(std::string(piece));
        }
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    }
}

void Manager::LoadListFromString(List& oList, const std::string& sString) {
    oList.Reset();
    AddPieces(oList, sString, ',');
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

void Manager::LoadSettings() {
    const std::string local = Store.Read(BlockedLocalPortsKey, "");
    const std::string remote = Store.Read(BlockedRemotePortsKey, "");
    const std::string allowed = Store.Read(AllowedIPKey, DefaultAllowedIP);
    LoadListFromString(oAllowedIP, allowed);
    LoadListFromString(oBlockedLocalPorts, local);
    LoadListFromString(oBlockedRemotePorts, remote);
    CompileRules();
}

void Manager::CompileRules() {
    CompiledRules = RuleSet(oAllowedIP, oBlockedLocalPorts, oBlockedRemotePorts);
}

bool Manager::SaveSettings() {
    const std::string local = SaveListToString(oBlockedLocalPorts);
    const std::string remote = SaveListToString(oBlockedRemotePorts);
    const std::string allowed = SaveListToString(oAllowedIP);
    Store.Write(BlockedLocalPortsKey, local);
    Store.Write(BlockedRemotePortsKey, remote);
    Store.Write(AllowedIPKey, allowed);
    if (Store.Flush()) {
        bSaveFailureShown = false;  // a later failure is news again
        return true;
    }
    // The rules keep working from memory; the user must know they will not survive a restart.
    if (!bSaveFailureShown && oMainForm != nullptr) {
        oMainForm->ShowMessage(SaveFailedText(Store.Location()));
        bSaveFailureShown = true;
    }
    return false;
}

void Manager::SaveChanges() {
    (void)SaveSettings();  // a failure has been told; the changed rules apply all the same
    // Every connection is judged afresh under the edited rules.
    CompileRules();
    ClearConnectionCache(Cache);
    ConnectionsChanged();  // rows not judged since are left out of the lines
}

}  // namespace quarnel
