#include "shell/xevsingleinstance.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QLocalSocket>
#include <QThread>

#include <unistd.h>

#include <string>

#include "platform/platfolder.h"

namespace {

const QByteArray kActivate = QByteArrayLiteral("activate\n");
const std::string kLockName = "_Kestro_DicomVerdastra";
const std::string kSocketName = "class_Verdastra_KESTRO";

}   // namespace

XEVSingleInstance::XEVSingleInstance()
    : XEVSingleInstance(QString::fromStdString(PlatGetInstancePath(kLockName)),
                        QString::fromStdString(PlatGetInstancePath(kSocketName)))
{
    mayFallBack_ = true;
}

XEVSingleInstance::XEVSingleInstance(const QString& lockPath, const QString& socketPath)
    : lock_(std::make_unique<PlatInstanceLock>(QFile::encodeName(lockPath).toStdString())), socketPath_(socketPath)
{
}

bool XEVSingleInstance::FallBack()
{
    const std::string folder = PlatGetFallbackRuntimeFolder();
    if (folder.empty()) {
        return false;
    }
    // Without a runtime folder the user's folder in the temporary folder was the one refused.
    unusablePath_ =
        !lock_->Path().empty() ? lock_->Path() : PlatGetTempFolder() + "kestro-" + std::to_string(::geteuid());
    lock_ = std::make_unique<PlatInstanceLock>(folder + kLockName);
    socketPath_ = QFile::decodeName(QByteArray::fromStdString(folder + kSocketName));
    return true;
}

XEVSingleInstance::~XEVSingleInstance()
{
    Stop();
}

bool XEVSingleInstance::Start(std::function<void()> activate, int waitMs)
{
    QDeadlineTimer unanswered(waitMs);
    for (;;) {
        const PlatLockResult taken = lock_->TryAcquire();
        unusable_ = taken == PlatLockResult::Unusable;
        // A lock file another user planted, or a folder they hold, never stops a start.
        if (unusable_ && mayFallBack_ && unusablePath_.empty() && FallBack()) {
            continue;
        }
        if (unusable_) {
            return false;
        }
        if (taken == PlatLockResult::Taken) {
            break;
        }
        QLocalSocket socket;
        socket.connectToServer(socketPath_);
        if (socket.waitForConnected(2000)) {
            socket.write(kActivate);
            socket.waitForBytesWritten(2000);
            socket.disconnectFromServer();
            return false;
        }
        // Nobody listens: the holder is starting (it listens next) or letting its claim go.
        if (unanswered.hasExpired()) {
            return false;
        }
        QThread::msleep(20);
    }
    activate_ = std::move(activate);
    // The lock is ours, so a socket left there is a crashed copy's.
    QLocalServer::removeServer(socketPath_);
    server_ = std::make_unique<QLocalServer>();
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    QObject::connect(server_.get(), &QLocalServer::newConnection, this, [this] { OnConnection(); });
    // Without the socket this copy still runs alone; later copies just end unseen.
    server_->listen(socketPath_);
    return true;
}

void XEVSingleInstance::StopListening()
{
    if (server_) {
        server_->close();
        server_.reset();
    }
}

void XEVSingleInstance::Stop()
{
    StopListening();
    lock_->Release();
}

void XEVSingleInstance::OnConnection()
{
    while (QLocalSocket* socket = server_->nextPendingConnection()) {
        auto take = [this, socket] {
            // Only a whole request counts; anything else on the socket is dropped.
            if (socket->canReadLine()) {
                if (socket->readLine(64) == kActivate && activate_) {
                    activate_();
                }
                socket->readAll();
            }
        };
        QObject::connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        QObject::connect(socket, &QLocalSocket::readyRead, this, take);
        take();
    }
}
