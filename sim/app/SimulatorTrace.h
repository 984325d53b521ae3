// The simulator's record of a session: every bus transaction, then what each flash holds.
// One JSON object a line, so a script can read it line by line.
#ifndef KA_SIM_APP_SIMULATORTRACE_H
#define KA_SIM_APP_SIMULATORTRACE_H

#include "SimulatedKa.h"

#include <ostream>

namespace kasim {

// Transactions as
//   {"seq":1,"op":"write-quadlet","address":"0xfffff0430000","length":4,"moved":4,
//    "value":"0x00000001","bytes":"00000001","status":0,"injected":false,"generation":1,
//    "connection":2,"thread":"home"}
// then one line per component:
//   {"flash":"xilinx","state":"installed","length":336680,"crc":"0x1a2b","installs":1,
//    "outcome":"installed"}
void WriteTrace(std::ostream& out, const SimulatedKa& ka);

}  // namespace kasim

#endif
