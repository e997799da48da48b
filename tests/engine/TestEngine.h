#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "engine/Engine.h"

namespace quarnel::testing {

inline std::uint32_t Ip(const char* text) {
    in_addr address{};
    (void)inet_pton(AF_INET, text, &address);  // tests pass valid texts
    return address.s_addr;
}

inline platform::TcpRow Row(std::int32_t state, const char* local, std::int32_t localPort,
                            const char* remote, std::int32_t remotePort, std::uint64_t cookie) {
    return {state, Ip(local), localPort, Ip(remote), remotePort, {}, 0, cookie};
}

// An established connection from 192.0.2.5, told apart by its cookie.
inline platform::TcpRow Established(std::int32_t localPort, const char* remote,
                                    std::int32_t remotePort, std::uint64_t cookie) {
    return Row(5, "192.0.2.5", localPort, remote, remotePort, cookie);
}

// A scripted TCP table: a close removes exactly the named connection, as the system's does.
struct FakeTable : platform::TcpTableSource {
    bool ReadTable(std::vector<platform::TcpRow>& rows) override {
        ++Reads;
        if (!FailReads) {
            rows = Connections;
        }
        if (AfterRead) {
            AfterRead();  // the system's table moves on while the pass works
        }
        return !FailReads;
    }
    bool CloseConnection(const platform::TcpRow& row) override {
        Closes.push_back(row);
        const auto found = std::find(Connections.begin(), Connections.end(), row);
        if (RefuseCloses || found == Connections.end()) {
            return false;
        }
        Connections.erase(found);
        return true;
    }
    platform::CloseAbility CanCloseConnections() override { return {}; }
    // With KnowsChanges, tells an unchanged table as a source fed by the kernel's events does.
    platform::ReadResult ReadTableIfChanged(std::vector<platform::TcpRow>& rows) override {
        if (KnowsChanges && !FailReads && Handed == Connections) {
            ++Reads;
            return platform::ReadResult::Unchanged;
        }
        const std::vector<platform::TcpRow> before = Connections;  // AfterRead may move on
        const platform::ReadResult result = TcpTableSource::ReadTableIfChanged(rows);
        if (result == platform::ReadResult::Changed) {
            Handed = before;
        }
        return result;
    }

    std::vector<platform::TcpRow> Connections, Closes, Handed;
    std::function<void()> AfterRead;
    bool FailReads = false, RefuseCloses = false, KnowsChanges = false;
    int Reads = 0;
};

struct FakeWindow : ManagerWindow {
    void ClearList() override { Lines.clear(); }
    void AppendToList(const std::string& text) override { Lines.push_back(text); }
    void SetHeading(const std::string& text) override { Heading = text; }
    void SetEditingEnabled(bool enabled) override { EditingEnabled = enabled; }
    Value ShowOnlyConnectedValue() const override { return ++Rebuilds, ShowOnlyConnected; }
    Value HideLocalValue() const override { return HideLocal; }
    void ShowMessage(const std::string& text) override { Messages.push_back(text); }

    std::vector<std::string> Lines, Messages;
    std::string Heading;
    bool EditingEnabled = false;
    Value ShowOnlyConnected = std::int16_t{0}, HideLocal = std::int16_t{0};
    mutable int Rebuilds = 0;  // each rebuild of the connection lines reads the check boxes
};

struct MapStore : SettingsStore {
    std::string Read(const std::string& key, const std::string& otherwise) override {
        return Values.contains(key) ? Values[key] : otherwise;
    }
    void Write(const std::string& key, const std::string& value) override {
        if (!FailWrites) {
            Values[key] = value;
        }
    }
    bool Flush() override { return !FailWrites; }
    std::string Location() const override { return "/home/user/.config/Quarnel/Quarnel.ini"; }

    std::map<std::string, std::string> Values;
    bool FailWrites = false;
};

struct FakeHosts : platform::HostAddressSource {
    platform::HostAddresses GetHostAddresses() override { return ++Calls, Result; }
    platform::HostAddresses Result;
    int Calls = 0;
};

inline std::vector<std::string> Texts(const List& list) {
    std::vector<std::string> texts;
    for (std::int32_t i = 0; i < list.GetItemCount(); ++i) {
        texts.push_back(ValueText(list.GetItem(i)));
    }
    return texts;
}

// An engine over a scripted table with a window attached and rules from a store in memory.
class EngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        oManager.LoadSettings();
        oManager.oMainForm = &window;
    }
    void SetRules(const char* allowed, const char* localPorts, const char* remotePorts) {
        oManager.LoadListFromString(oManager.oAllowedIP, allowed);
        oManager.LoadListFromString(oManager.oBlockedLocalPorts, localPorts);
        oManager.LoadListFromString(oManager.oBlockedRemotePorts, remotePorts);
    }
    void Pass() { engine.ProcessTcpTable(events); }
    std::vector<std::string> Lines() const { return Texts(oManager.oCurrentConnections); }

    FakeTable table;
    FakeHosts hosts;
    MapStore store;
    FakeWindow window;
    Engine engine{table, hosts, store};
    Manager& oManager = engine.oManager;
    int eventSteps = 0;
    std::function<void()> onEventStep = [] {};  // what the window does in an event step
    std::function<void()> events = [this] { ++eventSteps, onEventStep(); };
};

}  // namespace quarnel::testing
