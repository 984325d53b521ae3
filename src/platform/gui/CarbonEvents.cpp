// Events, event targets and handler chains, the application event loop and event-loop
// timers, over Qt's event loop.
#include "GuiInternals.h"
#include "WindowThread.h"

#include <QApplication>
#include <QIcon>
#include <QMetaObject>
#include <QtGlobal>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

namespace {

struct EventState {
    OpaqueEventTargetRef applicationTarget;
    QEventLoop* runningLoop = nullptr;
    std::vector<std::unique_ptr<OpaqueEventLoopTimerRef>> timers;
    kaplatform::EventLoopTimerDriver* timerDriver = nullptr;
    int dispatchDepth = 0;
};

OSStatus StandardApplicationHandler(EventRef event);

// Lives for the whole process (handlers and timers may be installed until the very end).
EventState& State() {
    static EventState* state = [] {
        auto* created = new EventState;
        created->applicationTarget.standardHandler = StandardApplicationHandler;
        return created;
    }();
    return *state;
}

OSStatus StandardApplicationHandler(EventRef event) {
    if (event->eventClass == kEventClassApplication &&
        (event->kind == kEventAppQuit || event->kind == kEventAppTerminationRequested)) {
        kaplatform::gui::RequestEventLoopQuit();
        return noErr;
    }
    if (event->eventClass == kEventClassCommand && event->kind == kEventCommandProcess) {
        HICommand command{};
        if (GetEventParameter(event, kEventParamDirectObject, typeHICommand, nullptr,
                              sizeof command, nullptr, &command) == noErr &&
            command.commandID == kHICommandQuit) {
            QuitApplicationEventLoop();
            return noErr;
        }
    }
    return eventNotHandledErr;
}

bool Matches(const OpaqueEventHandlerRef& handler, const OpaqueEventRef& event) {
    return std::any_of(handler.types.begin(), handler.types.end(), [&](const EventTypeSpec& type) {
        return type.eventClass == event.eventClass && type.eventKind == event.kind;
    });
}

struct DispatchScope {
    DispatchScope() { ++State().dispatchDepth; }
    ~DispatchScope() { --State().dispatchDepth; }
    DispatchScope(const DispatchScope&) = delete;
    DispatchScope& operator=(const DispatchScope&) = delete;
};

int Milliseconds(EventTimerInterval interval) {
    return static_cast<int>(std::lround(std::max(0.0, interval) * 1000.0));
}

void RunTimerProcedure(OpaqueEventLoopTimerRef* timer) {
    if (timer->procedure == nullptr) {
        return;
    }
    kaplatform::gui::JournalLineFilter* journal = kaplatform::gui::StandardOutputJournalFilter();
    if (journal != nullptr) {
        journal->BeginTimerProcedure();
    }
    timer->procedure(timer, timer->userData);
    if (journal != nullptr) {
        journal->EndTimerProcedure();
    }
}

// The QTimer only queues the call: a timer procedure that runs a modal loop (an alert)
// must not keep its own timer from firing inside that loop, and a slow procedure must not
// pile up calls.
void OnQTimerTimeout(OpaqueEventLoopTimerRef* timer) {
    if (timer->firstFirePending) {
        timer->firstFirePending = false;
        if (timer->interval > 0) {
            timer->qtimer->setInterval(Milliseconds(timer->interval));
        } else {
            timer->qtimer->stop();
        }
    }
    if (timer->callQueued) {
        return;
    }
    timer->callQueued = true;
    std::weak_ptr<bool> alive = timer->alive;
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [alive, timer] {
            if (alive.expired()) {
                return;
            }
            timer->callQueued = false;
            RunTimerProcedure(timer);
        },
        Qt::QueuedConnection);
}

bool IsSetAndNotEmpty(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0';
}

// Without a window system Qt ends the process with abort(), which reads as a crash to the
// user and to whoever started the program. Either way the program cannot go on: it says why
// in one line and ends with status 1.
[[noreturn]] void ExitWithoutWindowSystem(const char* reason) {
    std::fprintf(stderr, "Ka Firmware Updater: %s\n", reason);
    std::fflush(stderr);
    std::_Exit(1);
}

QtMessageHandler gMessageHandlerBeforeStart = nullptr;

// The name the desktop entry gives the program, which its alerts carry as their title.
constexpr const char* kApplicationDisplayName = "Ka Firmware Updater";

bool gWithoutWindows = false;

std::string& ApplicationIdentifier() {
    static std::string identifier = KA_APPLICATION_ID;
    return identifier;
}

// Installed only while the QApplication is made: the platform plugin's own warnings (which
// display, which library is missing) pass on as they are; its fatal message is replaced.
void StartMessageHandler(QtMsgType type, const QMessageLogContext& context,
                         const QString& message) {
    if (type == QtFatalMsg) {
        ExitWithoutWindowSystem(
            "the window system could not be reached (see the messages above); start the "
            "updater in a desktop session");
    }
    if (gMessageHandlerBeforeStart != nullptr) {
        gMessageHandlerBeforeStart(type, context, message);
    }
}

}  // namespace

OpaqueEventTargetRef::~OpaqueEventTargetRef() {
    for (auto& handler : handlers) {
        handler->removed = true;
    }
}

namespace kaplatform::gui {

bool RunsWithoutWindows() {
    return gWithoutWindows;
}

void EnsureApplication() {
    if (gWithoutWindows) {
        if (QCoreApplication::instance() == nullptr) {
            static int argc = 1;
            static std::string name = ApplicationIdentifier();
            static char* argv[] = {name.data(), nullptr};
            static QCoreApplication* application = new QCoreApplication(argc, argv);
            (void)application;
        }
        return;
    }
    if (QApplication::instance() == nullptr) {
        if (!IsSetAndNotEmpty("DISPLAY") && !IsSetAndNotEmpty("WAYLAND_DISPLAY") &&
            !IsSetAndNotEmpty("QT_QPA_PLATFORM")) {
            ExitWithoutWindowSystem(
                "no X11 or Wayland display (DISPLAY and WAYLAND_DISPLAY are not set); start "
                "the updater in a desktop session");
        }
        // The X11 class is the program's name and the application's: both are its ID.
        static int argc = 1;
        static std::string name = ApplicationIdentifier();
        static char* argv[] = {name.data(), nullptr};
        gMessageHandlerBeforeStart = qInstallMessageHandler(StartMessageHandler);
        static QApplication* application = new QApplication(argc, argv);
        qInstallMessageHandler(gMessageHandlerBeforeStart);
        (void)application;
    }
    // Before the first window: the window system reads them when a window is made.
    static const bool identitySet = [] {
        QApplication::setApplicationName(QString::fromStdString(ApplicationIdentifier()));
        QApplication::setDesktopFileName(QString::fromStdString(ApplicationIdentifier()));
        QApplication::setApplicationDisplayName(QString::fromLatin1(kApplicationDisplayName));
        QApplication::setWindowIcon(ApplicationIcon());
        return true;
    }();
    (void)identitySet;
    // The program decides when it ends, not the window system.
    QApplication::setQuitOnLastWindowClosed(false);
}

std::string Utf8FromCFString(CFStringRef string) {
    if (string == nullptr) {
        return {};
    }
    CFIndex size =
        CFStringGetMaximumSizeForEncoding(CFStringGetLength(string), kCFStringEncodingUTF8) + 1;
    std::string buffer(static_cast<std::size_t>(size), '\0');
    if (!CFStringGetCString(string, buffer.data(), size, kCFStringEncodingUTF8)) {
        return {};
    }
    buffer.resize(std::strlen(buffer.c_str()));
    return buffer;
}

QString QStringFromCFString(CFStringRef string) {
    return QString::fromStdString(Utf8FromCFString(string));
}

CFStringRef CreateCFString(const QString& text) {
    return CFStringCreateWithCString(kCFAllocatorDefault, text.toUtf8().constData(),
                                     kCFStringEncodingUTF8);
}

OSStatus SendNewEvent(UInt32 eventClass, UInt32 kind, EventTargetRef target,
                      const std::function<void(EventRef)>& fill) {
    EventRef event = nullptr;
    OSStatus status =
        CreateEvent(kCFAllocatorDefault, eventClass, kind, 0.0, kEventAttributeNone, &event);
    if (status != noErr) {
        return status;
    }
    if (fill) {
        fill(event);
    }
    status = SendEventToEventTarget(event, target);
    // The send holds its own reference while it dispatches; this one is ours.
    ReleaseEvent(event);  // NOLINT(clang-analyzer-cplusplus.NewDelete)
    return status;
}

void RequestEventLoopQuit() {
    if (State().runningLoop != nullptr) {
        State().runningLoop->exit(0);
    }
}

void DeferWhileDispatching(std::function<void()> action) {
    if (State().dispatchDepth > 0) {
        QMetaObject::invokeMethod(QCoreApplication::instance(), std::move(action),
                                  Qt::QueuedConnection);
    } else {
        action();
    }
}

}  // namespace kaplatform::gui

// Events ---------------------------------------------------------------------------------------

OSStatus CreateEvent(CFAllocatorRef, UInt32 eventClass, UInt32 kind, EventTime when,
                     EventAttributes flags, EventRef* outEvent) {
    if (outEvent == nullptr) {
        return paramErr;
    }
    auto* event = new OpaqueEventRef;
    event->eventClass = eventClass;
    event->kind = kind;
    event->time = when;
    event->attributes = flags;
    *outEvent = event;
    return noErr;
}

EventRef RetainEvent(EventRef event) {
    if (event != nullptr) {
        ++event->referenceCount;
    }
    return event;
}

void ReleaseEvent(EventRef event) {
    if (event != nullptr && --event->referenceCount == 0) {
        delete event;
    }
}

UInt32 GetEventClass(EventRef event) {
    return event != nullptr ? event->eventClass : 0;
}

UInt32 GetEventKind(EventRef event) {
    return event != nullptr ? event->kind : 0;
}

OSStatus SetEventParameter(EventRef event, EventParamName name, EventParamType type, ByteCount size,
                           const void* data) {
    if (event == nullptr || (data == nullptr && size != 0)) {
        return paramErr;
    }
    const auto* bytes = static_cast<const unsigned char*>(data);
    event->parameters[name] = {type, std::vector<unsigned char>(bytes, bytes + size)};
    return noErr;
}

OSStatus GetEventParameter(EventRef event, EventParamName name, EventParamType desiredType,
                           EventParamType* outActualType, ByteCount bufferSize,
                           ByteCount* outActualSize, void* outData) {
    if (event == nullptr) {
        return paramErr;
    }
    auto found = event->parameters.find(name);
    if (found == event->parameters.end()) {
        return eventParameterNotFoundErr;
    }
    const OpaqueEventRef::Parameter& parameter = found->second;
    if (desiredType != parameter.type && desiredType != '****') {
        return errAECoercionFail;
    }
    if (outActualType != nullptr) {
        *outActualType = parameter.type;
    }
    if (outActualSize != nullptr) {
        *outActualSize = parameter.bytes.size();
    }
    if (outData != nullptr) {
        std::memcpy(outData, parameter.bytes.data(), std::min(bufferSize, parameter.bytes.size()));
    }
    return noErr;
}

// Targets and handlers -------------------------------------------------------------------------

EventTargetRef GetApplicationEventTarget() {
    return &State().applicationTarget;
}

OSStatus InstallEventHandler(EventTargetRef target, EventHandlerUPP handler, ItemCount numTypes,
                             const EventTypeSpec* list, void* userData, EventHandlerRef* outRef) {
    if (target == nullptr || handler == nullptr || (numTypes > 0 && list == nullptr)) {
        return paramErr;
    }
    auto installed = std::make_shared<OpaqueEventHandlerRef>();
    installed->target = target;
    installed->handler = handler;
    installed->types.assign(list, list + numTypes);
    installed->userData = userData;
    target->handlers.insert(target->handlers.begin(), installed);
    if (outRef != nullptr) {
        *outRef = installed.get();
    }
    return noErr;
}

OSStatus RemoveEventHandler(EventHandlerRef handlerRef) {
    if (handlerRef == nullptr || handlerRef->removed) {
        return paramErr;
    }
    handlerRef->removed = true;
    auto& handlers = handlerRef->target->handlers;
    // Erasing may free handlerRef: nothing of it is used afterwards.
    handlers.erase(std::remove_if(handlers.begin(), handlers.end(),
                                  [&](const auto& entry) { return entry.get() == handlerRef; }),
                   handlers.end());
    return noErr;
}

OSStatus SendEventToEventTarget(EventRef event, EventTargetRef target) {
    if (event == nullptr || target == nullptr) {
        return paramErr;
    }
    DispatchScope scope;
    RetainEvent(event);
    OSStatus status = eventNotHandledErr;
    for (EventTargetRef current = target; current != nullptr && status == eventNotHandledErr;
         current = current->container) {
        // A handler may install or remove handlers while it runs.
        auto snapshot = current->handlers;
        for (const auto& handler : snapshot) {
            if (handler->removed || !Matches(*handler, *event)) {
                continue;
            }
            status = handler->handler(nullptr, event, handler->userData);
            if (status != eventNotHandledErr) {
                break;
            }
        }
        if (status == eventNotHandledErr && current->standardHandler) {
            status = current->standardHandler(event);
        }
    }
    ReleaseEvent(event);
    return status;
}

void InitApplicationProcessWithoutWindows() {
    gWithoutWindows = true;
    // The terminal mode's own words on standard output are not the window's idle lines.
    kaplatform::gui::FilterStandardOutputForJournal(false);
}

// The event loop -------------------------------------------------------------------------------

// One loop, the main thread's; its handle only has to be recognisable.
struct OpaqueEventLoopRef {};

EventLoopRef GetCurrentEventLoop() {
    static OpaqueEventLoopRef mainLoop;
    return &mainLoop;
}

EventLoopRef GetMainEventLoop() {
    return GetCurrentEventLoop();
}

void RunApplicationEventLoop() {
    kaplatform::gui::EnsureApplication();
    // Handlers and timers run here: the bus may not hold this thread.
    const kaplatform::WindowThreadScope windowThread;
    QEventLoop loop;
    QEventLoop* outer = State().runningLoop;
    State().runningLoop = &loop;
    std::optional<kaplatform::gui::TerminationRequestWatch> terminationRequests;
    if (outer == nullptr) {
        terminationRequests.emplace();
    }
    loop.exec();
    State().runningLoop = outer;
}

void QuitApplicationEventLoop() {
    kaplatform::gui::SendNewEvent(kEventClassApplication, kEventAppQuit,
                                  GetApplicationEventTarget());
}

OSStatus InstallEventLoopTimer(EventLoopRef loop, EventTimerInterval fireDelay,
                               EventTimerInterval interval, EventLoopTimerUPP timerProc,
                               void* userData, EventLoopTimerRef* outTimer) {
    if (loop == nullptr || timerProc == nullptr) {
        return paramErr;
    }
    kaplatform::gui::EnsureApplication();
    auto timer = std::make_unique<OpaqueEventLoopTimerRef>();
    OpaqueEventLoopTimerRef* raw = timer.get();
    raw->procedure = timerProc;
    raw->userData = userData;
    raw->fireDelay = fireDelay;
    raw->interval = interval;
    raw->driver = State().timerDriver;
    State().timers.push_back(std::move(timer));
    if (raw->driver != nullptr) {
        raw->driver->TimerInstalled(raw, fireDelay, interval);
    } else {
        raw->qtimer = std::make_unique<QTimer>();
        raw->qtimer->setTimerType(Qt::PreciseTimer);
        raw->qtimer->setInterval(Milliseconds(fireDelay));
        // The connection belongs to the timer object the layer owns.
        QObject::connect(raw->qtimer.get(),
                         &QTimer::timeout,  // NOLINT(clang-analyzer-cplusplus.NewDeleteLeaks)
                         [raw] { OnQTimerTimeout(raw); });
        raw->qtimer->start();
    }
    if (outTimer != nullptr) {
        *outTimer = raw;
    }
    return noErr;
}

OSStatus RemoveEventLoopTimer(EventLoopTimerRef timer) {
    auto& timers = State().timers;
    auto found = std::find_if(timers.begin(), timers.end(),
                              [&](const auto& entry) { return entry.get() == timer; });
    if (found == timers.end()) {
        return paramErr;
    }
    std::unique_ptr<OpaqueEventLoopTimerRef> removed = std::move(*found);
    timers.erase(found);
    if (removed->driver != nullptr) {
        removed->driver->TimerRemoved(timer);
    }
    return noErr;
}

namespace kaplatform {

void SetApplicationIdentifier(const std::string& identifier) {
    ApplicationIdentifier() = identifier;
}

void SetEventLoopTimerDriver(EventLoopTimerDriver* driver) {
    State().timerDriver = driver;
}

void FireEventLoopTimer(EventLoopTimerRef timer) {
    if (timer != nullptr) {
        RunTimerProcedure(timer);
    }
}

}  // namespace kaplatform
