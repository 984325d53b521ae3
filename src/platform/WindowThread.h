// The thread that runs the window may never be held by the bus: a blocked call there freezes
// the window and its timer. The event loop marks its thread; the FireWire plug-in asks, and
// a device interface created on the window's thread fails fast (FireWireDevice::FailFast).
#ifndef KA_PLATFORM_WINDOWTHREAD_H
#define KA_PLATFORM_WINDOWTHREAD_H

namespace kaplatform {

// Marks the calling thread as the window's for as long as it lives (scopes nest).
class WindowThreadScope {
  public:
    WindowThreadScope();
    ~WindowThreadScope();
    WindowThreadScope(const WindowThreadScope&) = delete;
    WindowThreadScope& operator=(const WindowThreadScope&) = delete;
};

// Whether the calling thread is inside a WindowThreadScope.
bool OnWindowThread();

}  // namespace kaplatform

#endif
