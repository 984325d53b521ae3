// The session's register of running copies: a claim is a lock file in the session's runtime
// directory ($XDG_RUNTIME_DIR; without one, as under sudo or cron, a folder of this user's
// own in the temporary folder), which a copy that died loses and the next start takes over,
// and beside it a local socket on which the holder hears later starts and answers their
// questions. The executable hands
// it to the desktop platform layer, whose ClaimSingleApplicationInstance decides what a
// claim means for the windows.
#ifndef KA_SERVICES_SINGLEINSTANCE_SESSIONSINGLEINSTANCE_H
#define KA_SERVICES_SINGLEINSTANCE_SESSIONSINGLEINSTANCE_H

#include <kaplatform/PlatformSeams.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace kasingleinstance {

// answer, when given, answers a later start's question (AskHolder) on the event loop's thread.
std::shared_ptr<kaplatform::SingleInstanceRegister> MakeSessionSingleInstanceRegister(
    std::function<std::string(const std::string& question)> answer = {});

// Asks the copy that holds name a question (one line, no line end) and returns its answer, or
// nothing when it could not be reached or gave none in time.
std::optional<std::string> AskRunningCopy(const std::string& name, const std::string& question);

}  // namespace kasingleinstance

#endif
