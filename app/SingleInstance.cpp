#include "app/SingleInstance.h"

#include <QDir>
#include <QStandardPaths>

#include <unistd.h>

namespace quarnel {

SingleInstance::SingleInstance() {
    QString where = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (where.isEmpty()) {
        // No runtime folder: one lock per user in the temporary folder instead.
        where = QDir::tempPath();
    }
    // The user's number in the name keeps users apart in a shared temporary folder.
    Lock = std::make_unique<QLockFile>(where + "/quarnel-" + QString::number(::getuid()) + ".lock");
    Lock->setStaleLockTime(0);  // only a lock whose process is gone is stale, however old
}

bool SingleInstance::Claim() {
    if (Lock->tryLock(0)) {
        return true;
    }
    return Lock->error() != QLockFile::LockFailedError;
}

}  // namespace quarnel
