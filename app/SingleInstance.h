#pragma once

#include <QLockFile>

#include <memory>

namespace quarnel {

// The lock that one running Quarnel of a user holds, in the user's runtime folder. A lock left
// by a process that died is taken over.
class SingleInstance {
public:
    SingleInstance();

    // False when another Quarnel holds the lock. When the lock cannot be made for another
    // reason (no runtime folder, no right to write there), nobody is known to run: true.
    [[nodiscard]] bool Claim();

private:
    std::unique_ptr<QLockFile> Lock;
};

}  // namespace quarnel
