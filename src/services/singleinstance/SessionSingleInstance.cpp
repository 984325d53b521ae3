#include "SessionSingleInstance.h"

#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QStandardPaths>
#include <QString>

#include <functional>
#include <memory>
#include <string>
#include <utility>

namespace {

// A later start tries this often, each time waiting this long, to reach a holder that may have
// taken its lock a moment ago and not be listening yet.
constexpr int kConnectAttempts = 10;
constexpr int kConnectTimeoutMs = 300;
constexpr int kWriteTimeoutMs = 2000;

struct HeldClaim {
    std::unique_ptr<QLockFile> lock;
    std::unique_ptr<QLocalServer> server;
};

// Held until the process ends.
HeldClaim& TheClaim() {
    static auto* claim = new HeldClaim;
    return *claim;
}

// The runtime directory's path for name with suffix, or empty when the session has none.
QString RuntimePath(const std::string& name, const char* suffix) {
    const QString runtimeDirectory =
        QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (runtimeDirectory.isEmpty()) {
        return {};
    }
    return QDir(runtimeDirectory).filePath(QString::fromStdString(name) + QLatin1String(suffix));
}

class SessionSingleInstanceRegister final : public kaplatform::SingleInstanceRegister {
  public:
    Claim ClaimName(const std::string& name, std::function<void()> comeForward) override {
        HeldClaim& claim = TheClaim();
        if (claim.lock != nullptr) {
            return Claim::Ours;
        }
        const QString lockPath = RuntimePath(name, ".lock");
        if (lockPath.isEmpty()) {
            return Claim::NoPlace;
        }
        const QString socketPath = RuntimePath(name, ".socket");
        auto lock = std::make_unique<QLockFile>(lockPath);
        // A holder that still runs keeps its lock however old it is; one that died loses it.
        lock->setStaleLockTime(0);
        if (!lock->tryLock(0)) {
            // No lock can be kept here at all: better two copies than none.
            return lock->error() == QLockFile::LockFailedError ? Claim::HeldByAnotherCopy
                                                               : Claim::NoPlace;
        }
        // Whatever socket is there belonged to a copy that no longer holds the lock.
        QLocalServer::removeServer(socketPath);
        if (comeForward) {
            auto server = std::make_unique<QLocalServer>();
            server->setSocketOptions(QLocalServer::UserAccessOption);
            if (server->listen(socketPath)) {
                QLocalServer* listening = server.get();
                QObject::connect(
                    listening, &QLocalServer::newConnection, listening,
                    [listening, comeForward = std::move(comeForward)] {
                        while (QLocalSocket* connection = listening->nextPendingConnection()) {
                            QObject::connect(connection, &QLocalSocket::disconnected, connection,
                                             &QObject::deleteLater);
                            comeForward();
                        }
                    });
                claim.server = std::move(server);
            }
        }
        claim.lock = std::move(lock);
        return Claim::Ours;
    }

    bool AskHolderToComeForward(const std::string& name) override {
        const QString socketPath = RuntimePath(name, ".socket");
        if (socketPath.isEmpty()) {
            return false;
        }
        for (int attempt = 0; attempt < kConnectAttempts; ++attempt) {
            QLocalSocket socket;
            socket.connectToServer(socketPath);
            if (socket.waitForConnected(kConnectTimeoutMs)) {
                socket.write("raise\n");
                const bool written = socket.waitForBytesWritten(kWriteTimeoutMs);
                socket.disconnectFromServer();
                return written;
            }
        }
        return false;
    }
};

}  // namespace

namespace kasingleinstance {

std::shared_ptr<kaplatform::SingleInstanceRegister> MakeSessionSingleInstanceRegister() {
    return std::make_shared<SessionSingleInstanceRegister>();
}

}  // namespace kasingleinstance
