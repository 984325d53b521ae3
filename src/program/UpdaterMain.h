// The program body both executables run once they have chosen their FireWire backend: opens
// the interface description, chooses the firmware by the executable's rule and says which on
// standard error, shows the window, runs the event loop, returns the exit status. The terminal
// modes have a body of their own (TerminalFrontEnd.h).
#ifndef KA_UPDATERMAIN_H
#define KA_UPDATERMAIN_H

#include "KaFirmware.h"

#include <optional>

int RunUpdaterApplication(int argc, char** argv, KaFirmwareRule firmwareRule,
                          const std::optional<KaFirmwareFolder>& firmwareFolder);

#endif
