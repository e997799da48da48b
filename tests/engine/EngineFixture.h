#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "engine/Engine.h"
#include "tests/engine/Fakes.h"

namespace quarnel::testing {

// An engine over a scripted table, with rules loaded from an in-memory store and a recording
// window attached.
class EngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        oManager.LoadSettings();
        oManager.oMainForm = &window;
    }

    // Replaces the three rule lists as the settings store would give them.
    void SetRules(const std::string& allowed, const std::string& localPorts,
                  const std::string& remotePorts) {
        oManager.LoadListFromString(oManager.oAllowedIP, allowed);
        oManager.LoadListFromString(oManager.oBlockedLocalPorts, localPorts);
        oManager.LoadListFromString(oManager.oBlockedRemotePorts, remotePorts);
    }

    void Pass() { engine.ProcessTcpTable(events); }

    std::vector<std::string> Lines() const {
        std::vector<std::string> lines;
        for (std::int32_t i = 0; i < oManager.oCurrentConnections.GetItemCount(); ++i) {
            lines.push_back(ValueText(oManager.oCurrentConnections.GetItem(i)));
        }
        return lines;
    }

    FakeTcpTableSource source;
    FakeHostAddressSource hosts;
    MapSettingsStore store;
    RecordingWindow window;
    Engine engine{source, hosts, store};
    Manager& oManager = engine.oManager;
    int eventSteps = 0;
    std::function<void()> onEventStep;  // what the window does in an event step
    std::function<void()> events = [this] {
        ++eventSteps;
        if (onEventStep) {
            onEventStep();
        }
    };
};

}  // namespace quarnel::testing
