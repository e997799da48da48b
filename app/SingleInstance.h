#pragma once

#include <QLocalServer>
#include <QLockFile>
#include <QString>

#include <functional>
#include <memory>

namespace quarnel {

// The lock that one running Quarnel of a user holds, in the user's runtime folder, and its
// companion: a local socket beside it through which a second start asks the running one to show
// its window. A lock left by a process that died is taken over.
class SingleInstance {
public:
    SingleInstance();
    ~SingleInstance();

    // False when another Quarnel holds the lock. When the lock cannot be made for another
    // reason (no runtime folder, no right to write there), nobody is known to run: true.
    [[nodiscard]] bool Claim();
    // For the holder of the lock: calls asked whenever a second start asks for the window, from
    // the event step. Without a socket (it cannot be made) a second start shows nothing.
    void Listen(std::function<void()> asked);
    // For a second start: asks the running one to show its window; whether it was asked.
    [[nodiscard]] bool AskToShow() const;

private:
    std::unique_ptr<QLockFile> lock_;
    QString socketPath_;
    std::unique_ptr<QLocalServer> server_;
};

}  // namespace quarnel
