#include "SessionSingleInstance.h"

#include <QByteArray>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QString>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

namespace {

// A later start tries this often, each time waiting this long, to reach a holder that may have
// taken its lock a moment ago and not be listening yet.
constexpr int kConnectAttempts = 10;
constexpr int kConnectTimeoutMs = 300;
constexpr int kWriteTimeoutMs = 2000;
// A holder answers a question with one discovery pass of its own, which may wait on a unit
// that does not answer.
constexpr int kAnswerTimeoutMs = 30000;
// The longest question or answer line a holder reads.
constexpr qint64 kLongestQuestion = 256;

const QByteArray kRaise = "raise";
const QByteArray kCameForward = "ok\n";
const QByteArray kNothingToBringForward = "no\n";

struct HeldClaim {
    std::unique_ptr<QLockFile> lock;
    std::unique_ptr<QLocalServer> server;
};

// Held until the process ends.
HeldClaim& TheClaim() {
    static auto* claim = new HeldClaim;
    return *claim;
}

// The folder, this user's alone, that holds the claims: the session's runtime directory, or,
// without a session (sudo, cron, a service), one of ours in the temporary folder, made so
// that nobody else can have made it first or reach into it. Empty when there is none.
QString ClaimFolder() {
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR");
        runtime != nullptr && runtime[0] == '/') {
        return QString::fromLocal8Bit(runtime);
    }
    const std::string folder =
        QDir::tempPath().toStdString() + "/ka-updater-" + std::to_string(::getuid());
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        return {};
    }
    struct stat status {};
    // Someone else's folder, a link or one others may write into would let them take or
    // fake the claim.
    if (::lstat(folder.c_str(), &status) != 0 || !S_ISDIR(status.st_mode) ||
        status.st_uid != ::getuid() || (status.st_mode & 0077) != 0) {
        return {};
    }
    return QString::fromStdString(folder);
}

// The claim folder's path for name with suffix, or empty when there is no folder.
QString ClaimPath(const std::string& name, const char* suffix) {
    const QString folder = ClaimFolder();
    if (folder.isEmpty()) {
        return {};
    }
    return QDir(folder).filePath(QString::fromStdString(name) + QLatin1String(suffix));
}

// A connection that reached the holder, ready to ask.
std::unique_ptr<QLocalSocket> ConnectToHolder(const std::string& name) {
    const QString socketPath = ClaimPath(name, ".socket");
    if (socketPath.isEmpty()) {
        return nullptr;
    }
    for (int attempt = 0; attempt < kConnectAttempts; ++attempt) {
        auto socket = std::make_unique<QLocalSocket>();
        socket->connectToServer(socketPath);
        if (socket->waitForConnected(kConnectTimeoutMs)) {
            return socket;
        }
    }
    return nullptr;
}

// Sends the question and reads the whole answer, up to the holder's end of the connection.
std::optional<QByteArray> Ask(QLocalSocket& socket, const QByteArray& question, int timeoutMs) {
    socket.write(question + "\n");
    if (!socket.waitForBytesWritten(kWriteTimeoutMs)) {
        return std::nullopt;
    }
    QByteArray answer;
    while (socket.state() == QLocalSocket::ConnectedState) {
        if (!socket.waitForReadyRead(timeoutMs)) {
            break;
        }
        answer += socket.readAll();
    }
    answer += socket.readAll();
    if (socket.state() == QLocalSocket::ConnectedState) {
        return std::nullopt;  // no end in time: not an answer
    }
    return answer;
}

class SessionSingleInstanceRegister final : public kaplatform::SingleInstanceRegister {
  public:
    explicit SessionSingleInstanceRegister(
        std::function<std::string(const std::string& question)> answer)
        : _answer(std::move(answer)) {}

    Claim ClaimName(const std::string& name, std::function<void()> comeForward) override {
        HeldClaim& claim = TheClaim();
        if (claim.lock != nullptr) {
            return Claim::Ours;
        }
        const QString lockPath = ClaimPath(name, ".lock");
        if (lockPath.isEmpty()) {
            return Claim::NoPlace;
        }
        const QString socketPath = ClaimPath(name, ".socket");
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
        if (comeForward || _answer) {
            auto server = std::make_unique<QLocalServer>();
            server->setSocketOptions(QLocalServer::UserAccessOption);
            if (server->listen(socketPath)) {
                QLocalServer* listening = server.get();
                QObject::connect(
                    listening, &QLocalServer::newConnection, listening,
                    [listening, comeForward = std::move(comeForward), answer = _answer] {
                        while (QLocalSocket* connection = listening->nextPendingConnection()) {
                            Serve(connection, comeForward, answer);
                        }
                    });
                claim.server = std::move(server);
            }
        }
        claim.lock = std::move(lock);
        return Claim::Ours;
    }

    bool AskHolderToComeForward(const std::string& name) override {
        const std::unique_ptr<QLocalSocket> socket = ConnectToHolder(name);
        if (socket == nullptr) {
            return false;
        }
        const std::optional<QByteArray> answer = Ask(*socket, kRaise, kWriteTimeoutMs);
        return answer == kCameForward;
    }

  private:
    // One later start: it asks one question, gets its answer, and the holder hangs up.
    static void Serve(QLocalSocket* connection, const std::function<void()>& comeForward,
                      const std::function<std::string(const std::string&)>& answer) {
        QObject::connect(connection, &QLocalSocket::disconnected, connection,
                         &QObject::deleteLater);
        QObject::connect(
            connection, &QLocalSocket::readyRead, connection, [connection, comeForward, answer] {
                if (!connection->canReadLine() && connection->bytesAvailable() < kLongestQuestion) {
                    return;
                }
                const QByteArray question = connection->readLine(kLongestQuestion).trimmed();
                if (question == kRaise) {
                    if (comeForward) {
                        comeForward();
                    }
                    connection->write(comeForward ? kCameForward : kNothingToBringForward);
                } else if (answer) {
                    connection->write(QByteArray::fromStdString(answer(question.toStdString())));
                }
                // Leaves once what was written has gone.
                connection->disconnectFromServer();
            });
    }

    std::function<std::string(const std::string& question)> _answer;
};

}  // namespace

namespace kasingleinstance {

std::shared_ptr<kaplatform::SingleInstanceRegister> MakeSessionSingleInstanceRegister(
    std::function<std::string(const std::string& question)> answer) {
    return std::make_shared<SessionSingleInstanceRegister>(std::move(answer));
}

std::optional<std::string> AskRunningCopy(const std::string& name, const std::string& question) {
    const std::unique_ptr<QLocalSocket> socket = ConnectToHolder(name);
    if (socket == nullptr) {
        return std::nullopt;
    }
    const std::optional<QByteArray> answer =
        Ask(*socket, QByteArray::fromStdString(question), kAnswerTimeoutMs);
    if (!answer || answer->isEmpty()) {
        return std::nullopt;
    }
    return answer->toStdString();
}

}  // namespace kasingleinstance
