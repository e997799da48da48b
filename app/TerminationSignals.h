#pragma once

#include <QObject>
#include <QSocketNotifier>

#include <memory>

#include "platform/linux/UniqueFd.h"

namespace quarnel {

// SIGTERM, SIGINT and SIGHUP become the signal Requested, raised in an event step: the signal
// handler itself only writes a byte into a pipe that the event step reads.
class TerminationSignals final : public QObject {
    Q_OBJECT

public:
    TerminationSignals();
    ~TerminationSignals() override;  // the default actions again

signals:
    void Requested();

private:
    void Drain();

    platform::UniqueFd readEnd_;
    platform::UniqueFd writeEnd_;
    std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace quarnel
