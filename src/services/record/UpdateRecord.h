// The record of one update, as the program calls it: a file the owner can read or send with
// a report, and that the simulator can play back. Writing it never decides the update: a
// record that cannot be written costs one line on standard error and nothing else.
#ifndef KA_SERVICES_RECORD_UPDATERECORD_H
#define KA_SERVICES_RECORD_UPDATERECORD_H

#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/IOReturn.h>
#include <MacTypes.h>

// What the program knows of the unit and of itself when the user accepts an update.
struct UpdateRecordFacts {
    const char* programVersion;
    const char* firmwareVersion;
    const char* firmwareSource;
    UInt64 guid;
    const char* serialNumber;
    UInt32 softwareVersion;
    UInt32 productRevision;
};

// Starts a record; every bus transaction and bus event from now on goes into it. A record
// still open is ended first. kIOReturnNotWritable when the file could not be made.
IOReturn UpdateRecordBegin(const UpdateRecordFacts* facts);
// How one image ended ("xilinx", "mcore"): kIOReturnSuccess when it was installed.
void UpdateRecordImageOutcome(const char* image, IOReturn status);
// An image ("xilinx", "mcore") started again from its beginning; start counts from 1.
void UpdateRecordImageRestart(const char* image, int start);
// How the update ended, with the sentence the user was shown; closes the record.
void UpdateRecordEnd(Boolean bothInstalled, IOReturn firstFailure, const char* description);
// The folder the records are kept in. The caller releases it.
CFStringRef UpdateRecordCopyFolderPath();
// The file of the record begun last; null when none could be made. The caller releases it.
CFStringRef UpdateRecordCopyFilePath();

#endif
