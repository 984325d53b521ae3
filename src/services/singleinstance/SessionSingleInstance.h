// The session's register of running copies: a claim is a lock file in the session's runtime
// directory ($XDG_RUNTIME_DIR), which a copy that died loses and the next start takes over,
// and beside it a local socket on which the holder hears later starts. The executable hands
// it to the desktop platform layer, whose ClaimSingleApplicationInstance decides what a
// claim means for the windows.
#ifndef KA_SERVICES_SINGLEINSTANCE_SESSIONSINGLEINSTANCE_H
#define KA_SERVICES_SINGLEINSTANCE_SESSIONSINGLEINSTANCE_H

#include <Carbon/PlatformSeams.h>

#include <memory>

namespace kasingleinstance {

std::shared_ptr<kaplatform::SingleInstanceRegister> MakeSessionSingleInstanceRegister();

}  // namespace kasingleinstance

#endif
