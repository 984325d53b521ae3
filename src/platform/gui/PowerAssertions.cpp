// Power assertions as systemd-logind inhibitor locks, taken over the system bus with QtDBus.
// The lock lives as long as the descriptor logind hands back; releasing closes it.
#include "GuiInternals.h"

#include <IOKit/pwr_mgt/IOPMLib.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDBusUnixFileDescriptor>

#include <atomic>
#include <map>
#include <mutex>

#include <fcntl.h>
#include <unistd.h>

namespace {

// Everything logind can hold off: sleep, idle, shutdown, and the keys and the lid switch,
// whose own handling logind would otherwise carry out even with the first three held.
constexpr const char* kInhibitWhat =
    "shutdown:sleep:idle:handle-power-key:handle-suspend-key:handle-hibernate-key:"
    "handle-lid-switch";
// The user's click waits for the answer; a logind that hangs must not hang the window.
constexpr int kInhibitTimeoutMs = 5000;

std::mutex gAssertionsMutex;
std::map<IOPMAssertionID, int> gAssertionDescriptors;
IOPMAssertionID gNextAssertion = 1;

QString SystemBusAddress() {
    const QByteArray address = qgetenv("DBUS_SYSTEM_BUS_ADDRESS");
    return address.isEmpty() ? QStringLiteral("unix:path=/run/dbus/system_bus_socket")
                             : QString::fromUtf8(address);
}

// A connection of its own for each request: the bus named in the environment now is the one
// asked, and nothing of the connection outlives the request.
IOReturn RequestInhibitorLock(const QString& who, const QString& why, int& descriptor) {
    static std::atomic<unsigned> connectionCount{0};
    const QString connectionName =
        QStringLiteral("ka-power-assertion-%1").arg(connectionCount.fetch_add(1));
    IOReturn status = kIOReturnNotResponding;
    {
        QDBusConnection bus = QDBusConnection::connectToBus(SystemBusAddress(), connectionName);
        if (bus.isConnected()) {
            QDBusMessage call = QDBusMessage::createMethodCall(
                QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
                QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("Inhibit"));
            call << QString::fromLatin1(kInhibitWhat) << who << why << QStringLiteral("block");
            const QDBusReply<QDBusUnixFileDescriptor> reply =
                bus.call(call, QDBus::Block, kInhibitTimeoutMs);
            if (reply.isValid() && reply.value().isValid()) {
                descriptor = fcntl(reply.value().fileDescriptor(), F_DUPFD_CLOEXEC, 0);
                status = descriptor >= 0 ? kIOReturnSuccess : kIOReturnNoResources;
            } else if (reply.error().type() == QDBusError::AccessDenied) {
                status = kIOReturnNotPermitted;
            }
        }
    }
    QDBusConnection::disconnectFromBus(connectionName);
    return status;
}

}  // namespace

IOReturn IOPMAssertionCreateWithDescription(CFStringRef assertionType, CFStringRef name,
                                            CFStringRef, CFStringRef humanReadableReason,
                                            CFStringRef, CFTimeInterval, CFStringRef,
                                            IOPMAssertionID* assertionID) {
    if (assertionID == nullptr || name == nullptr ||
        !CFEqual(assertionType, kIOPMAssertionTypePreventSystemSleep)) {
        return kIOReturnBadArgument;
    }
    *assertionID = kIOPMNullAssertionID;
    kaplatform::gui::EnsureApplication();
    int descriptor = -1;
    const IOReturn status =
        RequestInhibitorLock(kaplatform::gui::QStringFromCFString(name),
                             kaplatform::gui::QStringFromCFString(humanReadableReason), descriptor);
    if (status != kIOReturnSuccess) {
        return status;
    }
    std::lock_guard<std::mutex> lock(gAssertionsMutex);
    *assertionID = gNextAssertion++;
    gAssertionDescriptors[*assertionID] = descriptor;
    return kIOReturnSuccess;
}

IOReturn IOPMAssertionRelease(IOPMAssertionID assertionID) {
    int descriptor = -1;
    {
        std::lock_guard<std::mutex> lock(gAssertionsMutex);
        const auto found = gAssertionDescriptors.find(assertionID);
        if (found == gAssertionDescriptors.end()) {
            return kIOReturnBadArgument;
        }
        descriptor = found->second;
        gAssertionDescriptors.erase(found);
    }
    close(descriptor);
    return kIOReturnSuccess;
}
