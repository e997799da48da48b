#pragma once

#include <memory>
#include <string>

#include "engine/ActionLog.h"
#include "window/Messages.h"

class QMessageBox;

namespace quarnel {

// The real boxes. Once the program is told to end by the system (a signal, the end of the
// desktop session), or where nobody sees its window (Qt's offscreen platform), nobody may be
// there to answer a box, so messages then go to log (standard error) instead of holding the
// loop, and never wait for it.
class MessageBoxes final : public Messages {
public:
    explicit MessageBoxes(ActionLog& log);
    ~MessageBoxes() override;

    void Show(const std::string& text) override;
    bool Confirm(const std::string& text) override;
    // A message with an OK button that holds nothing: the loop runs on while it is open. One
    // box shows them all: a message told while it is open is added below the earlier ones.
    // It goes to standard error too, for whoever reads that rather than the window.
    void Notify(const std::string& text);
    // The same box for a text whose details standard error has already had: the box alone,
    // where someone sees it (unattended, standard error gets it all the same).
    void NotifyInBox(const std::string& text);
    // A message for standard error alone: what is worth knowing, not worth a box.
    void Log(const std::string& text);

    void SetUnattended() { unattended_ = true; }

private:
    ActionLog& errors_;  // standard error, never waited for
    bool unattended_ = false;
    std::unique_ptr<QMessageBox> note_;  // the one that holds nothing, while it lives
};

}  // namespace quarnel
