#pragma once

#include <map>
#include <set>
#include <string>

#include "platform/linux/UniqueFd.h"

namespace quarnel {

// Tells when the rules file may have changed: written in place, replaced by a rename (as
// editors save), created, removed or given another mode. It watches the file's folder, so a
// file that is replaced, or not there yet, is followed too. Where the path goes through
// symbolic links (a link to the file, a linked folder, a Kubernetes ConfigMap's ..data), the
// folder of each link and the folder of the file it leads to are watched as well, and followed
// anew after each change: a link pointed elsewhere, or the target rewritten, is seen.
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
    // Watches the folders the path goes through now and leaves those it no longer does.
    void FollowLinks();

    std::string path_;
    std::string folder_;
    std::string name_;
    platform::UniqueFd fd_;
    int watch_ = -1;
    std::string why_;
    // Each watched folder's entries that matter, by watch; the folder the path names included.
    std::map<int, std::set<std::string>> names_;
};

// The entries whose change may change what a path names, by folder: every symbolic link met on
// the way, then the entry it finally names, or the first one missing. Resolved as the kernel
// resolves it ("..", relative and absolute link targets), at most 40 links deep.
std::map<std::string, std::set<std::string>> EntriesOnPath(const std::string& path);

}  // namespace quarnel
