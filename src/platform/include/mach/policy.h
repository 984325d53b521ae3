// Scheduling policies of Mach threads and the base records that give their priority.
#ifndef KA_PLATFORM_MACH_POLICY_H
#define KA_PLATFORM_MACH_POLICY_H

#include <MacTypes.h>

using integer_t = int;
using policy_t = int;
using policy_base_t = integer_t*;
using mach_msg_type_number_t = UInt32;
using boolean_t = int;

inline constexpr policy_t POLICY_NULL = 0;
inline constexpr policy_t POLICY_TIMESHARE = 1;
inline constexpr policy_t POLICY_RR = 2;
inline constexpr policy_t POLICY_FIFO = 4;

struct policy_timeshare_base {
    integer_t base_priority;
};
struct policy_rr_base {
    integer_t base_priority;
    integer_t quantum;
};
struct policy_fifo_base {
    integer_t base_priority;
};

using policy_timeshare_base_data_t = policy_timeshare_base;
using policy_rr_base_data_t = policy_rr_base;
using policy_fifo_base_data_t = policy_fifo_base;

inline constexpr mach_msg_type_number_t POLICY_TIMESHARE_BASE_COUNT =
    sizeof(policy_timeshare_base) / sizeof(integer_t);
inline constexpr mach_msg_type_number_t POLICY_RR_BASE_COUNT =
    sizeof(policy_rr_base) / sizeof(integer_t);
inline constexpr mach_msg_type_number_t POLICY_FIFO_BASE_COUNT =
    sizeof(policy_fifo_base) / sizeof(integer_t);

#endif
