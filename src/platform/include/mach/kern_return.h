// Status of a Mach call, with the Mac's values.
#ifndef KA_PLATFORM_MACH_KERN_RETURN_H
#define KA_PLATFORM_MACH_KERN_RETURN_H

using kern_return_t = int;

inline constexpr kern_return_t KERN_SUCCESS = 0;
inline constexpr kern_return_t KERN_INVALID_ARGUMENT = 4;
inline constexpr kern_return_t KERN_FAILURE = 5;

#endif
