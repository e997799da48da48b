#include "app/SingleInstance.h"

#include <QDir>
#include <QLocalSocket>
#include <QStandardPaths>

#include <unistd.h>

namespace quarnel {

namespace {

constexpr int kAskTimeout = 1000;  // ms a second start waits for the running one

}  // namespace

SingleInstance::SingleInstance() {
    QString where = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (where.isEmpty()) {
        // No runtime folder: one lock per user in the temporary folder instead.
        where = QDir::tempPath();
    }
    // The user's number in the name keeps users apart in a shared temporary folder.
    const QString name = where + "/quarnel-" + QString::number(::getuid());
    lock_ = std::make_unique<QLockFile>(name + ".lock");
    lock_->setStaleLockTime(0);  // only a lock whose process is gone is stale, however old
    socketPath_ = name + ".socket";
}

SingleInstance::~SingleInstance() = default;

bool SingleInstance::Claim() {
    if (lock_->tryLock(0)) {
        return true;
    }
    return lock_->error() != QLockFile::LockFailedError;
}

void SingleInstance::Listen(std::function<void()> asked) {
    server_ = std::make_unique<QLocalServer>();
    // Only this user may ask, also where the folder is the shared temporary one.
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    // The lock is ours: a socket left there belongs to a run that died.
    (void)QLocalServer::removeServer(socketPath_);
    if (!server_->listen(socketPath_)) {
        server_.reset();  // a second start then ends as it always did, showing nothing
        return;
    }
    QObject::connect(server_.get(), &QLocalServer::newConnection, server_.get(),
                     [server = server_.get(), asked = std::move(asked)] {
                         while (QLocalSocket* caller = server->nextPendingConnection()) {
                             caller->disconnectFromServer();
                             caller->deleteLater();
                             asked();  // being called is the whole request
                         }
                     });
}

bool SingleInstance::AskToShow() const {
    QLocalSocket socket;
    socket.connectToServer(socketPath_);
    if (!socket.waitForConnected(kAskTimeout)) {
        return false;
    }
    socket.disconnectFromServer();
    return true;
}

}  // namespace quarnel
