// The simulator's record of a session: every bus transaction of the unit on the bus, then
// what each flash holds. One JSON object a line, so a script can read it line by line.
#ifndef KA_SIM_APP_SIMULATORTRACE_H
#define KA_SIM_APP_SIMULATORTRACE_H

#include "SimulatedKa.h"

#include "record/RecordCodec.h"

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <ostream>
#include <string>

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

// The file a trace goes to: written new beside its target and put in the target's place only
// once it is whole, so that a run that is refused, stops early or is killed leaves whatever
// file had that name as it was. A target that is no regular file (a pipe, a terminal) is
// written straight into, as before.
class TraceFile {
  public:
    explicit TraceFile(std::filesystem::path target);
    ~TraceFile();
    TraceFile(const TraceFile&) = delete;
    TraceFile& operator=(const TraceFile&) = delete;

    // Makes the new file beside the target; false when the target's folder takes none.
    bool Open();
    std::ostream& Stream() { return out_; }
    // Puts the written file in the target's place; false (the new file gone) when it could
    // not be written whole or put there.
    bool Commit();
    // For a process about to end without unwinding: removes the new file. Any thread.
    void Abandon() noexcept;
    // The new file's name, once Open made it.
    const std::filesystem::path& WrittenPath() const { return written_; }

  private:
    std::filesystem::path target_;
    std::filesystem::path written_;
    std::ofstream out_;
    // The target is a pipe or a terminal, written straight into.
    bool direct_ = false;
};

}  // namespace kasim

#endif
