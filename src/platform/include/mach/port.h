// Mach port names. A thread's port name comes from pthread_mach_thread_np.
#ifndef KA_PLATFORM_MACH_PORT_H
#define KA_PLATFORM_MACH_PORT_H

#include <MacTypes.h>

// The same type IOKitLib.h gives it; repeating the alias is harmless.
using mach_port_t = UInt32;
using thread_act_t = mach_port_t;

#endif
