#include "ConsistencyCheck.h"

#include <cstdio>
#include <cstdlib>

void FailConsistencyCheck(const char* module, unsigned line, const char* expression) {
    // Whatever the program said before stopping belongs in front of the failure.
    std::fflush(stdout);
    std::fprintf(stderr, "%s:%u: failed assertion `%s'\n", module, line, expression);
    std::fflush(stderr);
    std::abort();
}
