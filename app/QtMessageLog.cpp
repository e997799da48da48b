#include "app/QtMessageLog.h"

#include <QString>

#include <atomic>

namespace quarnel {

namespace {

// Qt takes a plain function as its handler, for the whole process and any of its threads: the
// log it writes to can only be found here.
std::atomic<ActionLog*> Installed{nullptr};

void ToLog(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (ActionLog* log = Installed.load()) {
        log->Say(qFormatLogMessage(type, context, text).toStdString());
    }
}

}  // namespace

QtMessageLog::QtMessageLog(ActionLog& log) {
    Installed = &log;
    previous_ = qInstallMessageHandler(ToLog);
}

QtMessageLog::~QtMessageLog() {
    (void)qInstallMessageHandler(previous_);  // the handler it returns is ours
    Installed = nullptr;
}

}  // namespace quarnel
