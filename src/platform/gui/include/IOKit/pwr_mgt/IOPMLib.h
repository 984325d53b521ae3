// Power-management assertions: while one is held the machine neither sleeps nor shuts down
// on its own, and its lid, power and sleep keys do not put it to sleep.
#ifndef KA_PLATFORM_IOKIT_PWR_MGT_IOPMLIB_H
#define KA_PLATFORM_IOKIT_PWR_MGT_IOPMLIB_H

#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/IOReturn.h>

typedef UInt32 IOPMAssertionID;
typedef UInt32 IOPMAssertionLevel;

inline constexpr IOPMAssertionLevel kIOPMAssertionLevelOff = 0;
inline constexpr IOPMAssertionLevel kIOPMAssertionLevelOn = 255;
inline constexpr IOPMAssertionID kIOPMNullAssertionID = 0;

// The one assertion type there is: the system stays up (no sleep, idle sleep or shutdown
// that the session could hold off, and the keys and lid that would start one are held).
#define kIOPMAssertionTypePreventSystemSleep CFSTR("PreventSystemSleep")

// name: who holds it (the application, as the user knows it); humanReadableReason: why.
// details, localizationBundlePath and timeoutAction may be null; a timeout of 0 means none.
// kIOReturnSuccess and a new assertion; kIOReturnNotResponding when there is nobody to ask,
// kIOReturnNotPermitted when the request was refused, kIOReturnBadArgument for an unknown
// type or a missing name.
IOReturn IOPMAssertionCreateWithDescription(CFStringRef assertionType, CFStringRef name,
                                            CFStringRef details, CFStringRef humanReadableReason,
                                            CFStringRef localizationBundlePath,
                                            CFTimeInterval timeout, CFStringRef timeoutAction,
                                            IOPMAssertionID* assertionID);

// Gives the assertion up; kIOReturnBadArgument for one that is not held.
IOReturn IOPMAssertionRelease(IOPMAssertionID assertionID);

#endif
