#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "engine/Engine.h"
#include "tests/support/MemoryStore.h"
#include "tests/support/Rows.h"

namespace quarnel::testing {

using Texts = std::vector<std::string>;

using testsupport::Address;
using testsupport::Ip;
using testsupport::MemoryStore;
using testsupport::Row;

// An established connection from 192.0.2.5, told apart by its cookie.
inline platform::TcpRow Established(std::int32_t localPort, const char* remote,
                                    std::int32_t remotePort, std::uint64_t cookie) {
    return Row(platform::TcpState::Established, "192.0.2.5", localPort, remote, remotePort, cookie);
}

// A scripted TCP table. Like the table fed by the kernel's events it tells when nothing changed,
// so the pass's skipping is always exercised; a close removes exactly the named connection, as
// the system's does.
struct FakeTable : platform::SourceDefaults<> {
    platform::ReadResult Read(std::vector<platform::TcpRow>& rows,
                              platform::TableChanges* changes) override {
        if (changes != nullptr && rows == Connections) {
            return platform::ReadResult::Unchanged;
        }
        rows = Connections;
        return Whole(true, changes);
    }
    bool CloseConnection(const platform::TcpRow& row) override {
        Closes.push_back(row);
        const auto found = std::find(Connections.begin(), Connections.end(), row);
        return !RefuseCloses && found != Connections.end() &&
               (Linger || (Connections.erase(found), true));
    }
    platform::CloseAbility CanCloseConnections() override { return {}; }
    void TakeMissed(std::vector<platform::TcpRow>& rows) override {
        rows = std::exchange(Missed, {});
    }
    platform::ConnectionOwner Owner(const platform::TcpRow& row) const override {
        const auto owner = Owners.find(row.OwnerPid);
        return owner != Owners.end() ? owner->second : platform::ConnectionOwner{};
    }

    std::vector<platform::TcpRow> Connections, Closes, Missed;
    std::map<std::uint32_t, platform::ConnectionOwner> Owners;  // by pid
    bool RefuseCloses = false;
    bool Linger = false;  // a close succeeds, yet the row stays: a socket its process let go
};

struct FakeWindow : ManagerWindow {
    void ClearList() override { Lines.clear(); }
    void AppendToList(const std::string& text) override { Lines.push_back(text); }
    void SetHeading(const std::string&) override {}
    void SetEditingEnabled(bool) override {}
    Value ShowOnlyConnectedValue() const override { return ShowOnlyConnected; }
    Value HideLocalValue() const override { return HideLocal; }
    void ShowMessage(const std::string& text) override { Messages.push_back(text); }

    Texts Lines, Messages;
    Value ShowOnlyConnected = std::int16_t{0}, HideLocal = std::int16_t{0};
};

struct FakeHosts : platform::HostAddressSource {
    platform::HostAddresses GetHostAddresses() override { return Result; }
    platform::HostAddresses Result;
};

inline Texts ItemTexts(const List& list) {
    Texts texts;
    for (std::int32_t i = 0; i < list.GetItemCount(); ++i) {
        texts.push_back(ValueText(list.GetItem(i)));
    }
    return texts;
}

// Puts these rule lists in force, not saved.
inline void SetRules(Manager& manager, const std::string& allowed, const std::string& localPorts,
                     const std::string& remotePorts) {
    manager.LoadListFromString(manager.oAllowedIP, allowed);
    manager.LoadListFromString(manager.oBlockedLocalPorts, localPorts);
    manager.LoadListFromString(manager.oBlockedRemotePorts, remotePorts);
    manager.CompileRules();
}

// An engine over a scripted table with a window attached, a store in memory and no rules.
class EngineTest : public ::testing::Test {
protected:
    EngineTest() { oManager.oMainForm = &window; }
    // One pass; each of its event steps runs what the window does there.
    void Pass() {
        engine.ProcessTcpTable([this] { onEventStep(); });
    }
    // The connection lines as a window about to show them finds them.
    Texts Lines() {
        oManager.RefreshCurrentConnectionsIfStale();
        return ItemTexts(oManager.oCurrentConnections);
    }

    FakeTable table;
    FakeHosts hosts;
    MemoryStore store;
    FakeWindow window;
    Engine engine{table, hosts, store};
    Manager& oManager = engine.oManager;
    std::function<void()> onEventStep = [] {};
};

}  // namespace quarnel::testing
