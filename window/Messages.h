#pragma once

#include <string>

namespace quarnel {

// The program's modal message boxes: no icon, the program's name as title. While one is open
// the main loop waits inside the event step, so no blocking pass runs. Each front end shows them
// with its toolkit.
class Messages {
public:
    virtual ~Messages() = default;

    // A message with an OK button.
    virtual void Show(const std::string& text) = 0;
    // A question with OK and Cancel; true for OK.
    virtual bool Confirm(const std::string& text) = 0;
};

}  // namespace quarnel
