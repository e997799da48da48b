#pragma once

#include <cstdint>
#include <string>

#include "engine/ActionLog.h"
#include "engine/ManagerWindow.h"

namespace quarnel {

// The window the service's Manager drives: it shows nothing, filters no connection, and what
// the engine would tell the user in a message goes to the log.
class HeadlessWindow final : public ManagerWindow {
public:
    explicit HeadlessWindow(ActionLog& log) : log_(log) {}

    void ClearList() override {}
    void AppendToList(const std::string& /*text*/) override {}
    void SetHeading(const std::string& /*text*/) override {}
    void SetEditingEnabled(bool /*enabled*/) override {}
    Value ShowOnlyConnectedValue() const override { return std::int16_t{0}; }
    Value HideLocalValue() const override { return std::int16_t{0}; }
    void ShowMessage(const std::string& text) override {
        log_.Say(text, ActionLog::Priority::Warning);
    }

private:
    ActionLog& log_;
};

}  // namespace quarnel
