// The simulator executable's command line: who the simulated unit is, how it behaves, what
// goes wrong, and what to record. Parsed before any window opens.
#ifndef KA_SIM_APP_SIMULATOROPTIONS_H
#define KA_SIM_APP_SIMULATOROPTIONS_H

#include "SimulatedKa.h"
#include "UpdaterCommandLine.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kasim {

struct SimulatorOptions {
    SimulatedKaConfig unit;
    std::vector<ImageFault> imageFaults;
    // --fault swap-unit: another unit takes the Ka's place once the update is accepted,
    // before the update's worker looks at the unit (SimulatedKa::ArmUnitSwap).
    bool swapUnit = false;
    // --fault identity-read-fail: discovery's software-version and product-revision reads
    // get an address error.
    bool identityReadFail = false;
    // --second-ka GUID: a second Ka on the bus, found after the first (as fw2.0, node 0xFFC2),
    // with the first one's identity and a serial number of its own.
    std::optional<std::uint64_t> secondKaGuid;
    // Seconds after start before the unit shows up on the bus; 0: there from the start.
    double appearAfterSeconds = 0.0;
    // Four-character signatures of pretend running processes ('KeyG' for the editor).
    std::vector<std::uint32_t> pretendProcesses;
    std::string traceFile;
    // --firmware DIR: install that folder's release instead of the built-in images.
    std::string firmwareFolder;
    // An update record to play back: its unit answers in place of the simulated one.
    std::string replayFile;
    // Take the sequencer's pauses on a virtual clock instead of sleeping.
    bool noPauses = false;
    // Unattended runs: press the update button once it is usable, and answer every alert
    // with this button (1 = OK, 2 = Cancel); 0 leaves alerts to the user.
    bool pressUpdate = false;
    int answerAlerts = 0;
    // --status, --update and their options: the program run from the terminal, no window.
    UpdaterModeOptions mode;
};

struct ParsedCommandLine {
    enum class Outcome { Run, ShowHelp, ShowVersion, Error };
    Outcome outcome = Outcome::Run;
    SimulatorOptions options;
    std::string error;  // for Error: one line, no line end
};

ParsedCommandLine ParseSimulatorCommandLine(const std::vector<std::string>& arguments);

// The --help text.
std::string SimulatorUsage(const std::string& programName);

}  // namespace kasim

#endif
