#pragma once

#include <string>

namespace quarnel {

// The program's modal message boxes: no icon, the program's name as title. While one is open
// the main loop waits inside the event step, so no blocking pass runs.
class Messages {
public:
    virtual ~Messages() = default;

    // A message with an OK button.
    virtual void Show(const std::string& text) = 0;
    // A question with OK and Cancel; true for OK.
    virtual bool Confirm(const std::string& text) = 0;
};

// The real boxes. Once the program is told to end by the system (a signal, the end of the
// desktop session) nobody may be there to answer a box, so messages then go to standard error
// instead of holding up the end.
class MessageBoxes final : public Messages {
public:
    void Show(const std::string& text) override;
    bool Confirm(const std::string& text) override;

    void SetUnattended() { bUnattended = true; }

private:
    bool bUnattended = false;
};

}  // namespace quarnel
