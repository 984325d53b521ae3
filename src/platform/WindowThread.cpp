#include "WindowThread.h"

namespace kaplatform {
namespace {

thread_local int gWindowThreadScopes = 0;

}  // namespace

WindowThreadScope::WindowThreadScope() {
    ++gWindowThreadScopes;
}

WindowThreadScope::~WindowThreadScope() {
    --gWindowThreadScopes;
}

bool OnWindowThread() {
    return gWindowThreadScopes > 0;
}

}  // namespace kaplatform
