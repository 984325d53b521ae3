// Where an update tells its record what happened. Whoever puts an update together hands it
// these calls as a value; the program's own are those of the update record (UpdateRecord.h).
#ifndef KA_UPDATERECORDCALLS_H
#define KA_UPDATERECORDCALLS_H

#include <IOKit/IOReturn.h>

struct UpdateRecordFacts;

struct UpdateRecordCalls {
    IOReturn (*begin)(const UpdateRecordFacts* facts) = nullptr;
    // An image ("xilinx", "mcore") started again from its beginning; start counts from 1.
    void (*imageRestart)(const char* image, int start) = nullptr;
    // How one image ended.
    void (*imageOutcome)(const char* image, IOReturn status) = nullptr;
};

// The update record's own calls.
UpdateRecordCalls TheUpdateRecord();

#endif
