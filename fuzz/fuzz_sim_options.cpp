// The simulator's command line: arbitrary arguments (the input split at NUL bytes) must give
// a run with values in their ranges, help, or one clear line of error; never a crash.
#include "SimulatorOptions.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> arguments{"virorividizezuzu-sim"};
    std::string current;
    for (std::size_t index = 0; index < size; ++index) {
        if (data[index] == 0) {
            arguments.push_back(current);
            current.clear();
        } else {
            current += static_cast<char>(data[index]);
        }
    }
    arguments.push_back(current);

    const kasim::ParsedCommandLine parsed = kasim::ParseSimulatorCommandLine(arguments);
    switch (parsed.outcome) {
        case kasim::ParsedCommandLine::Outcome::Run: {
            const kasim::SimulatorOptions& options = parsed.options;
            if (options.unit.erasePolls > 1000 || options.appearAfterSeconds < 0.0 ||
                options.appearAfterSeconds > 86400.0 || options.answerAlerts < 0 ||
                options.answerAlerts > 2) {
                std::abort();
            }
            // A terminal run never presses a button, and its options never contradict.
            if ((options.mode.InTerminal() && (options.pressUpdate || options.answerAlerts != 0)) ||
                !CheckUpdaterModeOptions(options.mode).empty()) {
                std::abort();
            }
            for (const std::uint8_t byte : options.unit.serialNumber) {
                if (byte != 0 && (byte < 0x20 || byte > 0x7E)) {
                    std::abort();
                }
            }
            break;
        }
        case kasim::ParsedCommandLine::Outcome::Error:
            // The message may quote an argument holding any byte; it must not be empty.
            if (parsed.error.empty()) {
                std::abort();
            }
            break;
        case kasim::ParsedCommandLine::Outcome::ShowHelp:
        case kasim::ParsedCommandLine::Outcome::ShowVersion:
            break;
    }
    return 0;
}
