// Internal consistency checks. A failed check names the module, line and expression it was
// given (fixed values chosen where each check is written, so the message stays the same when
// the code around it moves), prints
//     <module>:<line>: failed assertion `<expression>'
// on standard error and stops the program.
#ifndef KA_CONSISTENCYCHECK_H
#define KA_CONSISTENCYCHECK_H

[[noreturn]] void FailConsistencyCheck(const char* module, unsigned line, const char* expression);

inline void CheckConsistency(bool holds, const char* module, unsigned line,
                             const char* expression) {
    if (!holds) {
        FailConsistencyCheck(module, line, expression);
    }
}

#endif
