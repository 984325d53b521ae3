// The program body both executables run once they have chosen their FireWire backend: opens
// the interface description, shows the window, runs the event loop, returns the exit status.
#ifndef KA_UPDATERMAIN_H
#define KA_UPDATERMAIN_H

int RunUpdaterApplication(int argc, char** argv);

#endif
