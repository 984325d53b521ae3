// The program body both executables run once they have chosen their FireWire backend: opens
// the interface description, chooses the firmware by the executable's rule and says which on
// standard error, shows the window, runs the event loop, returns the exit status. With a
// terminal mode in the options it runs that mode instead, with no window (TerminalFrontEnd.h).
#ifndef KA_UPDATERMAIN_H
#define KA_UPDATERMAIN_H

#include "KaFirmware.h"
#include "UpdaterCommandLine.h"

#include <optional>

int RunUpdaterApplication(int argc, char** argv, KaFirmwareRule firmwareRule,
                          const std::optional<KaFirmwareFolder>& firmwareFolder,
                          const UpdaterModeOptions& mode = {});

#endif
