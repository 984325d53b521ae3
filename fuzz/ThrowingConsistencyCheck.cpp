// The fuzz targets' consistency-check failure: instead of stopping the process it throws,
// so that a target can tell a check that rightly fires from one that should not, and carry
// on with the next input.
#include "ThrowingConsistencyCheck.h"

void FailConsistencyCheck(const char* module, unsigned line, const char* expression) {
    throw kafuzz::ConsistencyFailure{module, line, expression};
}
