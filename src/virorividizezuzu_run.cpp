// PROVISIONAL: the background update run of the controller is not written yet. These
// definitions only let the program link; they install nothing and report the update as
// finished with a failure status. To be replaced by the real run.
#include "virorividizezuzu.h"

namespace Orv::VEV {

bool CViRorividiZezuzu::DoUpdate() {
    _updateStatus = kIOReturnUnsupported;
    _done = true;
    return false;
}

bool CViRorividiZezuzu::GetDoneStatus() {
    return _done;
}

void CViRorividiZezuzu::Run() {
    _updateStatus = kIOReturnUnsupported;
    _done = true;
}

IOReturn CViRorividiZezuzu::GetUpdateStatus() {
    return _updateStatus;
}

}  // namespace Orv::VEV
