// The update record reader: any bytes must give a record whose steps keep the reader's
// promises, or one line that says what is wrong; never a crash, never a wrong value
// taken quietly.
#include "record/UpdateRecordReader.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::string error;
    const std::optional<karecord::UpdateRecordFile> record =
        karecord::ParseUpdateRecord(text, error);
    if (!record) {
        if (error.empty() || error.find('\n') != std::string::npos) {
            std::abort();
        }
        return 0;
    }
    // Line 1 is the header; every step is on a later whole line, in order, in time order.
    std::size_t line = 1;
    std::uint64_t time = 0;
    for (const karecord::RecordStep& step : record->steps) {
        if (step.line <= line || step.line > record->lines || step.microseconds < time) {
            std::abort();
        }
        if (!step.event && (step.transaction.moved > step.transaction.length ||
                            step.transaction.bytes.size() > step.transaction.length)) {
            std::abort();
        }
        line = step.line;
        time = step.microseconds;
    }
    if (record->cutLine && *record->cutLine != record->lines + 1) {
        std::abort();
    }
    return 0;
}
