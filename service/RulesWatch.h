#pragma once

#include <string>

#include "platform/linux/UniqueFd.h"

namespace quarnel {

// Tells when the rules file may have changed: written in place, replaced by a rename (as
// editors save), created, removed or given another mode. It watches the file's folder, so a
// file that is replaced, or not there yet, is followed too. Changes to the target of a symbolic
// link elsewhere are not seen; SIGHUP reads the file all the same.
class RulesWatch {
public:
    explicit RulesWatch(const std::string& path);

    // -1 when the folder cannot be watched; Problem then says why.
    int Descriptor() const { return watch_ >= 0 ? fd_.Get() : -1; }
    const std::string& Problem() const { return why_; }
    const std::string& WatchedFolder() const { return folder_; }
    // Reads the events that wait; whether one of them may concern the file.
    bool TakeChange();
    // Watches the folder again after it went (removed, renamed); whether it is watched now.
    bool Rearm();

private:
    std::string folder_;
    std::string name_;
    platform::UniqueFd fd_;
    int watch_ = -1;
    std::string why_;
};

}  // namespace quarnel
