// What keeps an accepted update from being cut short by the desktop around it: the machine
// is kept awake, and requests to end the program wait until the run is done.
#ifndef KA_UPDATESAFEGUARD_H
#define KA_UPDATESAFEGUARD_H

#include "UpdateOutcome.h"

#include <IOKit/IOReturn.h>
#include <IOKit/pwr_mgt/IOPMLib.h>

class CUpdateSafeguard {
  public:
    CUpdateSafeguard() = default;
    ~CUpdateSafeguard();

    CUpdateSafeguard(const CUpdateSafeguard&) = delete;
    CUpdateSafeguard& operator=(const CUpdateSafeguard&) = delete;

    // The user accepted the update: keeps the machine awake until End (the update goes on
    // when that cannot be done; one line on standard error says so).
    void Begin();
    // The run is done.
    void End();

    // A request to end the program came while the update was accepted or running: it waits
    // for the end of the run (said once on standard error).
    void HoldTermination();
    bool IsTerminationHeld() const { return _terminationHeld; }
    // The run ended so: the program's exit status from now on says whether both images were
    // installed, whichever way the program then ends.
    void RecordOutcome(const Orv::VEV::UpdateOutcome& outcome);
    // When nobody saw the alert that tells the outcome (a request to end the program came
    // first): writes it on standard error.
    void ReportOutcome(const Orv::VEV::UpdateOutcome& outcome);
    int ExitStatus() const { return _exitStatus; }

    // Whether an update of this process is between Begin and End: the unit is then its
    // worker's, and nobody else may look at the bus.
    static bool AnyUpdateRunning();

  private:
    bool _running = false;
    IOPMAssertionID _assertion = kIOPMNullAssertionID;
    bool _terminationHeld = false;
    int _exitStatus = 0;
};

#endif
