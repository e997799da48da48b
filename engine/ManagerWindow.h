#pragma once

#include <string>

#include "container/Value.h"

namespace quarnel {

// What the Manager drives of the main window: the list box, the heading, the three editing
// controls and the two check boxes that filter the connection view.
class ManagerWindow {
public:
    virtual ~ManagerWindow() = default;

    virtual void ClearList() = 0;                            // lstMain
    virtual void AppendToList(const std::string& text) = 0;  // lstMain
    virtual void SetHeading(const std::string& text) = 0;    // txtHead
    virtual void SetEditingEnabled(bool enabled) = 0;        // mnuDelete, txtItem, cmdAdd
    virtual Value ShowOnlyConnectedValue() const = 0;        // chkShowX
    virtual Value HideLocalValue() const = 0;                // chkHideLocal
    // A message for the user in a modal box with an OK button (failures the engine reports).
    virtual void ShowMessage(const std::string& text) = 0;
};

}  // namespace quarnel
