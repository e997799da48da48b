#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "engine/ManagerWindow.h"
#include "engine/SettingsStore.h"
#include "platform/HostAddressSource.h"
#include "platform/TcpTableSource.h"

namespace quarnel::testing {

// A raw address from its four octets, first octet in the lowest-addressed byte.
inline std::uint32_t Address(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
    const std::uint8_t octets[4] = {a, b, c, d};
    std::uint32_t raw = 0;
    std::copy(octets, octets + 4, reinterpret_cast<std::uint8_t*>(&raw));
    return raw;
}

inline platform::TcpRow Row(std::int32_t state, std::uint32_t localAddress, std::int32_t localPort,
                            std::uint32_t remoteAddress, std::int32_t remotePort,
                            std::uint64_t cookie = 0) {
    platform::TcpRow row;
    row.State = state;
    row.LocalAddress = localAddress;
    row.LocalPort = localPort;
    row.RemoteAddress = remoteAddress;
    row.RemotePort = remotePort;
    row.Cookie = cookie;
    return row;
}

// An established connection from 192.0.2.5 to remote, told apart by its cookie.
inline platform::TcpRow Established(std::int32_t localPort, std::uint32_t remoteAddress,
                                    std::int32_t remotePort, std::uint64_t cookie) {
    return Row(5, Address(192, 0, 2, 5), localPort, remoteAddress, remotePort, cookie);
}

// A TCP table that behaves like the system's: a close removes exactly the named connection.
class FakeTcpTableSource : public platform::TcpTableSource {
public:
    bool ReadTable(std::vector<platform::TcpRow>& rows) override {
        ++Reads;
        if (FailReads) {
            return false;
        }
        rows.assign(Connections.begin(), Connections.end());
        if (AfterRead) {
            AfterRead();  // the system's table moves on while the pass works
        }
        return true;
    }

    bool CloseConnection(const platform::TcpRow& row) override {
        Closes.push_back(row);
        if (RefuseCloses) {
            return false;
        }
        const auto found = std::find(Connections.begin(), Connections.end(), row);
        if (found == Connections.end()) {
            return false;
        }
        Connections.erase(found);
        return true;
    }

    platform::CloseAbility CanCloseConnections() override {
        return platform::CloseAbility::Allowed;
    }

    std::vector<platform::TcpRow> Connections;  // what the next read reports
    std::vector<platform::TcpRow> Closes;       // every close asked for, in order
    std::function<void()> AfterRead;
    bool FailReads = false;
    bool RefuseCloses = false;
    int Reads = 0;
};

// Records what the Manager does to the window.
class RecordingWindow : public ManagerWindow {
public:
    void ClearList() override { Lines.clear(); }
    void AppendToList(const std::string& text) override { Lines.push_back(text); }
    void SetHeading(const std::string& text) override { Heading = text; }
    void SetEditingEnabled(bool enabled) override { EditingEnabled = enabled; }
    Value ShowOnlyConnectedValue() const override {
        ++CheckBoxReads;
        return ShowOnlyConnected;
    }
    Value HideLocalValue() const override { return HideLocal; }
    void ShowMessage(const std::string& text) override { Messages.push_back(text); }

    std::vector<std::string> Lines;
    std::string Heading;
    bool EditingEnabled = false;
    Value ShowOnlyConnected = std::int16_t{0};
    Value HideLocal = std::int16_t{0};
    std::vector<std::string> Messages;
    mutable int CheckBoxReads = 0;  // one per rebuild of the connection lines
};

// A settings store in memory whose writes can be made to fail.
class MapSettingsStore : public SettingsStore {
public:
    std::string Read(const std::string& key, const std::string& defaultValue) override {
        const auto found = Values.find(key);
        return found == Values.end() ? defaultValue : found->second;
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

class FakeHostAddressSource : public platform::HostAddressSource {
public:
    platform::HostAddresses GetHostAddresses() override {
        ++Calls;
        return Result;
    }
    platform::HostAddresses Result;
    int Calls = 0;
};

}  // namespace quarnel::testing
