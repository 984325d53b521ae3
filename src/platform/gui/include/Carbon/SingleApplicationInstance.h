// One running copy of an application per user session, as the desktop's launcher keeps it on
// the Mac: starting the application again brings the running copy to the front.
#ifndef KA_PLATFORM_CARBON_SINGLEAPPLICATIONINSTANCE_H
#define KA_PLATFORM_CARBON_SINGLEAPPLICATIONINSTANCE_H

#include <MacTypes.h>

// Makes this process the running copy of the application named by the identifier (a plain
// file name) for the rest of its life. true: it is, also when a copy before it crashed, and a
// later start will bring this copy's front window forward. false: another copy runs; its
// front window has been brought forward or, when that copy could not be reached, an alert has
// said that the application is already running: the caller ends. true as well when the
// session keeps no place for such a claim. In a program without windows
// (InitApplicationProcessWithoutWindows) false says only that another copy runs: nothing is
// brought forward or shown, and a later start of the application finds no window to bring
// forward and says that it is already running. Call before anything is shown.
Boolean ClaimSingleApplicationInstance(const char* applicationIdentifier);

#endif
