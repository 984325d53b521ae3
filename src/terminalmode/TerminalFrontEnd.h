// The program driven from a terminal instead of its window: --status says what one discovery
// pass finds, --update runs the update the window would run (the same controller, worker,
// identity check, safeguard and record), asking on the terminal for consent.
#ifndef KA_TERMINALFRONTEND_H
#define KA_TERMINALFRONTEND_H

#include "KaFirmware.h"
#include "UpdaterCommandLine.h"

#include <optional>

// Chooses the firmware by the rule, runs the mode the options name and returns its exit
// status (UpdaterCommandLine.h). Standard output carries only what the mode prints; the
// program's diagnostic lines go to standard error with --verbose, and nowhere without, save
// the warnings among them and the lines written on std::clog, which standard error always
// carries. A write to standard output that failed ends the mode with kExitOutputFailed
// unless its status says more.
int RunTerminalMode(const UpdaterModeOptions& options, KaFirmwareRule firmwareRule,
                    const std::optional<KaFirmwareFolder>& firmwareFolder);

#endif
