// The simulator's record of a session: every bus transaction of the unit on the bus, then
// what each flash holds. One JSON object a line, so a script can read it line by line.
#ifndef KA_SIM_APP_SIMULATORTRACE_H
#define KA_SIM_APP_SIMULATORTRACE_H

#include "SimulatedKa.h"

#include "record/RecordCodec.h"

#include <cstdint>
#include <optional>
#include <ostream>

namespace kasim {

// Transactions as an update record writes them (record/RecordCodec.h), after the trace's own
// count and followed by what the simulated unit knows of them:
//   {"seq":1,"op":"write-quadlet","address":"0xfffff0430000","length":4,"moved":4,
//    "value":"0x00000001","status":0,"generation":1,"injected":false,"connection":2,
//    "thread":"home"}
// then one line per component:
//   {"flash":"xilinx","state":"installed","length":336680,"crc":"0x1a2b","installs":1,
//    "outcome":"installed"}
// A further Ka on the bus (unitGuid given) has "unit":"0x0200000000004712" on each of its
// lines, after the others.
void WriteTrace(std::ostream& out, const SimulatedKa& ka,
                std::optional<std::uint64_t> unitGuid = std::nullopt);

// One transaction line: "seq", the record's fields of the transaction, then extra's.
void WriteTraceLine(std::ostream& out, std::uint64_t sequence,
                    const karecord::RecordedTransaction& transaction,
                    const karecord::WrittenLine& extra);
// A transaction the simulated unit logged, as WriteTrace writes it, counted as sequence.
void WriteTraceTransaction(std::ostream& out, std::uint64_t sequence,
                           const Transaction& transaction,
                           std::optional<std::uint64_t> unitGuid = std::nullopt);

}  // namespace kasim

#endif
