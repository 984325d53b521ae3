#include "UpdateRecordCalls.h"

#include "record/UpdateRecord.h"

UpdateRecordCalls TheUpdateRecord() {
    return {UpdateRecordBegin, UpdateRecordImageRestart, UpdateRecordImageOutcome};
}
