// Requests from outside the program that it end, and the process set-up a program needs
// whose diagnostics must outlive it.
#ifndef KA_PLATFORM_CARBON_APPLICATIONTERMINATION_H
#define KA_PLATFORM_CARBON_APPLICATIONTERMINATION_H

#include <Carbon/CarbonEvents.h>

// Class kEventClassApplication. The user's session is ending, the machine is shutting down,
// or the terminal the program was started from was closed or interrupted. While the
// application event loop runs, each such request reaches the application event target as
// this event, sent from the loop itself (never from inside what the program was doing when
// the request came). When no installed handler takes it, the standard handler ends the
// event loop as for kEventAppQuit.
enum : UInt32 {
    kEventAppTerminationRequested = 'Ktrm',
};

// Call when the program begins to write what must never be left half written (a unit's
// flash), and again when that is done; the calls pair up. Between them the quit key
// (SIGQUIT) is one more termination request as above, a request to suspend the program
// (SIGTSTP) waits for the end and takes effect then, and a program in a background job is not
// stopped for using its terminal (SIGTTOU, SIGTTIN). Outside them every signal keeps its
// usual action.
void BeginUninterruptibleWork();
void EndUninterruptibleWork();

// Call first thing in main, before anything is printed: standard output is written a line at
// a time (a process that dies keeps every line it printed), a reader of standard output or
// standard error that goes away no longer ends the process, and where the environment names
// no UTF-8 character locale the UTF-8 one the platform would switch to is named (quietly).
void InitApplicationProcess();

// Call right after InitApplicationProcess in a program that will show no window and no alert
// (one driven from a terminal, perhaps over a remote login): the event loop, timers,
// termination requests, the single-instance claim and power assertions then work with no X11
// or Wayland display at all. Windows and alerts are refused from then on.
void InitApplicationProcessWithoutWindows();

#endif
