#pragma once

#include <QtMessageHandler>

#include "engine/ActionLog.h"

namespace quarnel {

// Qt's own messages (its warnings at start, a plugin's complaints) go to log while this lives,
// instead of to Qt's handler, which writes to standard error and waits while that is full: a
// launcher that stops reading would stop the guard. The handler before comes back after.
class QtMessageLog {
public:
    explicit QtMessageLog(ActionLog& log);
    ~QtMessageLog();
    QtMessageLog(const QtMessageLog&) = delete;
    QtMessageLog& operator=(const QtMessageLog&) = delete;

private:
    QtMessageHandler previous_;
};

}  // namespace quarnel
