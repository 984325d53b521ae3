// The claim is a lock file in the session's runtime directory (a crashed holder's lock is
// taken over), and beside it a local socket on which the holder hears later starts and
// raises its window.
#include "GuiInternals.h"

#include <Carbon/SingleApplicationInstance.h>

#include <QApplication>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QStandardPaths>

#include <memory>

namespace {

constexpr int kConnectAttempts = 10;
constexpr int kConnectTimeoutMs = 300;
constexpr int kWriteTimeoutMs = 2000;

struct Claim {
    std::unique_ptr<QLockFile> lock;
    std::unique_ptr<QLocalServer> server;
};

// Held until the process ends.
Claim& TheClaim() {
    static auto* claim = new Claim;
    return *claim;
}

void BringFrontWindowForward() {
    WindowRef window = FrontNonFloatingWindow();
    if (window == nullptr || window->widget == nullptr) {
        return;
    }
    QWidget* widget = window->widget;
    if (widget->isMinimized()) {
        widget->showNormal();
    }
    widget->raise();
    widget->activateWindow();
}

bool AskRunningCopyToComeForward(const QString& socketPath) {
    // The running copy may have taken the lock a moment ago and not be listening yet.
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

void ShowAlreadyRunningAlert() {
    DialogRef alert = nullptr;
    if (CreateStandardAlert(kAlertNoteAlert, CFSTR("The updater is already running."),
                            CFSTR("Switch to its window to go on, or, when it runs in a terminal, "
                                  "wait until it is done there."),
                            nullptr, &alert) == noErr) {
        DialogItemIndex itemHit = 0;
        RunStandardAlert(alert, nullptr, &itemHit);
    }
}

}  // namespace

Boolean ClaimSingleApplicationInstance(const char* applicationIdentifier) {
    kaplatform::gui::EnsureApplication();
    Claim& claim = TheClaim();
    if (claim.lock != nullptr) {
        return true;
    }
    const QString runtimeDirectory =
        QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (runtimeDirectory.isEmpty() || applicationIdentifier == nullptr) {
        return true;
    }
    const QDir directory(runtimeDirectory);
    const QString name = QString::fromUtf8(applicationIdentifier);
    const QString socketPath = directory.filePath(name + QStringLiteral(".socket"));

    auto lock = std::make_unique<QLockFile>(directory.filePath(name + QStringLiteral(".lock")));
    // A holder that still runs keeps its lock however old it is; one that died loses it.
    lock->setStaleLockTime(0);
    if (!lock->tryLock(0)) {
        if (lock->error() != QLockFile::LockFailedError) {
            // No lock can be kept here at all: better two copies than none.
            return true;
        }
        // A program without windows says so itself; the running copy's window stays where
        // it is (its user may be at another seat).
        if (kaplatform::gui::RunsWithoutWindows()) {
            return false;
        }
        if (!AskRunningCopyToComeForward(socketPath)) {
            ShowAlreadyRunningAlert();
        }
        return false;
    }

    // Whatever socket is there belonged to a copy that no longer holds the lock.
    QLocalServer::removeServer(socketPath);
    // A copy without windows has nothing to bring forward: a later start finds nobody
    // listening and says the updater is already running.
    if (kaplatform::gui::RunsWithoutWindows()) {
        claim.lock = std::move(lock);
        return true;
    }
    auto server = std::make_unique<QLocalServer>();
    server->setSocketOptions(QLocalServer::UserAccessOption);
    if (server->listen(socketPath)) {
        QLocalServer* listening = server.get();
        QObject::connect(listening, &QLocalServer::newConnection, listening, [listening] {
            while (QLocalSocket* connection = listening->nextPendingConnection()) {
                QObject::connect(connection, &QLocalSocket::disconnected, connection,
                                 &QObject::deleteLater);
                BringFrontWindowForward();
            }
        });
        claim.server = std::move(server);
    }
    claim.lock = std::move(lock);
    return true;
}
