#ifndef KA_FUZZ_THROWINGCONSISTENCYCHECK_H
#define KA_FUZZ_THROWINGCONSISTENCYCHECK_H

#include "ConsistencyCheck.h"

namespace kafuzz {

struct ConsistencyFailure {
    const char* module;
    unsigned line;
    const char* expression;
};

}  // namespace kafuzz

#endif
