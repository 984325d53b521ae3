#include "ConsistencyCheck.h"

#include <cstdlib>
#include <iostream>

void FailConsistencyCheck(const char* module, unsigned line, const char* expression) {
    // Whatever the program said before stopping belongs in front of the failure.
    std::cout.flush();
    std::cerr << module << ':' << line << ": failed assertion `" << expression << "'\n";
    std::cerr.flush();
    std::abort();
}
