// The Carbon Event Manager subset: events with typed parameters, event targets with their
// handler chains (control -> window -> application), the application event loop, and
// event-loop timers that fire on the main thread.
#ifndef KA_PLATFORM_CARBON_CARBONEVENTS_H
#define KA_PLATFORM_CARBON_CARBONEVENTS_H

#include <Carbon/CarbonCore.h>
#include <CoreFoundation/CoreFoundation.h>

struct OpaqueEventRef;
struct OpaqueEventTargetRef;
struct OpaqueEventHandlerRef;
struct OpaqueEventHandlerCallRef;
struct OpaqueEventLoopRef;
struct OpaqueEventLoopTimerRef;
struct OpaqueMenuRef;

using EventRef = OpaqueEventRef*;
using EventTargetRef = OpaqueEventTargetRef*;
using EventHandlerRef = OpaqueEventHandlerRef*;
using EventHandlerCallRef = OpaqueEventHandlerCallRef*;
using EventLoopRef = OpaqueEventLoopRef*;
using EventLoopTimerRef = OpaqueEventLoopTimerRef*;
using MenuRef = OpaqueMenuRef*;
using MenuItemIndex = UInt16;
using MenuCommand = UInt32;

using EventTime = double;
using EventTimeout = EventTime;
using EventTimerInterval = EventTime;
inline constexpr EventTime kEventDurationSecond = 1.0;
inline constexpr EventTime kEventDurationMillisecond = kEventDurationSecond / 1000;
inline constexpr EventTime kEventDurationNoWait = 0.0;

using EventAttributes = UInt32;
enum : EventAttributes {
    kEventAttributeNone = 0,
    kEventAttributeUserEvent = 1,
};

using EventParamName = OSType;
using EventParamType = OSType;

struct EventTypeSpec {
    UInt32 eventClass;
    UInt32 eventKind;
};

enum : OSStatus {
    eventParameterNotFoundErr = -9870,
    eventNotHandledErr = -9874,
    errAECoercionFail = -1700,
};

// Event classes and kinds.
enum : UInt32 {
    kEventClassMouse = 'mous',
    kEventClassKeyboard = 'keyb',
    kEventClassApplication = 'appl',
    kEventClassMenu = 'menu',
    kEventClassWindow = 'wind',
    kEventClassControl = 'cntl',
    kEventClassCommand = 'cmds',
};
enum : UInt32 {
    kEventAppQuit = 3,
    kEventCommandProcess = 1,
    kEventControlHit = 1,
    // Sent to the window's target when the user asks to close it. A handler that returns
    // noErr keeps the window open; left unhandled, closing the only window ends the
    // application event loop.
    kEventWindowClose = 72,
};

// Parameter names and types.
enum : OSType {
    kEventParamDirectObject = '----',
    typeHICommand = 'hcmd',
    typeControlRef = 'ctrl',
    typeWindowRef = 'wind',
};

// The command record carried by command events.
struct HICommand {
    UInt32 attributes;
    UInt32 commandID;
    struct {
        MenuRef menuRef;
        MenuItemIndex menuItemIndex;
    } menu;
};
enum : UInt32 {
    kHICommandFromMenuItem = 1UL << 0,
    kHICommandFromControl = 1UL << 1,
    kHICommandFromWindow = 1UL << 2,
};
enum : UInt32 {
    kHICommandOK = 'ok  ',
    kHICommandCancel = 'not!',
    kHICommandQuit = 'quit',
    kHICommandAbout = 'abou',
};

using EventHandlerProcPtr = OSStatus (*)(EventHandlerCallRef inHandlerCallRef, EventRef inEvent,
                                         void* inUserData);
using EventHandlerUPP = EventHandlerProcPtr;
using EventLoopTimerProcPtr = void (*)(EventLoopTimerRef inTimer, void* inUserData);
using EventLoopTimerUPP = EventLoopTimerProcPtr;

inline EventHandlerUPP NewEventHandlerUPP(EventHandlerProcPtr userRoutine) {
    return userRoutine;
}
inline void DisposeEventHandlerUPP(EventHandlerUPP) {}
inline EventLoopTimerUPP NewEventLoopTimerUPP(EventLoopTimerProcPtr userRoutine) {
    return userRoutine;
}
inline void DisposeEventLoopTimerUPP(EventLoopTimerUPP) {}

// Events -------------------------------------------------------------------------------
// A new event with a reference count of one; ReleaseEvent drops it.
OSStatus CreateEvent(CFAllocatorRef allocator, UInt32 eventClass, UInt32 kind, EventTime when,
                     EventAttributes flags, EventRef* outEvent);
EventRef RetainEvent(EventRef event);
void ReleaseEvent(EventRef event);
UInt32 GetEventClass(EventRef event);
UInt32 GetEventKind(EventRef event);
OSStatus SetEventParameter(EventRef event, EventParamName name, EventParamType type, ByteCount size,
                           const void* data);
// Copies at most bufferSize bytes of the parameter; eventParameterNotFoundErr when the
// event has no such parameter, errAECoercionFail when it has another type.
OSStatus GetEventParameter(EventRef event, EventParamName name, EventParamType desiredType,
                           EventParamType* outActualType, ByteCount bufferSize,
                           ByteCount* outActualSize, void* outData);

// Targets and handlers -------------------------------------------------------------------
EventTargetRef GetApplicationEventTarget();
// Handlers installed later run first; one that returns anything but eventNotHandledErr
// ends the dispatch, otherwise the event goes on to the target's standard handling and
// then to the containing target.
OSStatus InstallEventHandler(EventTargetRef target, EventHandlerUPP handler, ItemCount numTypes,
                             const EventTypeSpec* list, void* userData, EventHandlerRef* outRef);
OSStatus RemoveEventHandler(EventHandlerRef handlerRef);
OSStatus SendEventToEventTarget(EventRef event, EventTargetRef target);

// The event loop ---------------------------------------------------------------------------
EventLoopRef GetCurrentEventLoop();
EventLoopRef GetMainEventLoop();
// Dispatches events, handlers and timers on the main thread until the application-quit
// event ('appl', kEventAppQuit) reaches the application's standard handler.
void RunApplicationEventLoop();
// Ends the running application event loop once control returns to it.
void QuitApplicationEventLoop();

// Timers fire on the main thread: first after fireDelay, then every interval (0: once).
OSStatus InstallEventLoopTimer(EventLoopRef loop, EventTimerInterval fireDelay,
                               EventTimerInterval interval, EventLoopTimerUPP timerProc,
                               void* userData, EventLoopTimerRef* outTimer);
OSStatus RemoveEventLoopTimer(EventLoopTimerRef timer);

#endif
