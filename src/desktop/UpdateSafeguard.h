// What keeps an accepted update from being cut short by the desktop around it: the machine
// is kept awake, requests to end or to suspend the program wait until the run is done, and a
// run in a background job is never stopped for its terminal. What it has to say goes on
// std::clog: lines the user must hear whatever the front end.
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

    // The user accepted the update: keeps the machine awake and the program running until
    // End (the update goes on when the machine cannot be kept awake; one line says so).
    void Begin();
    // The run is done. A suspension asked for meanwhile takes effect now.
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
    bool _uninterruptible = false;
    bool _terminationHeld = false;
    int _exitStatus = 0;
};

#endif
