// The one encoder and decoder of a record's lines. The writer encodes, the reader decodes,
// the simulator's trace encodes its transactions the same way. A decoder checks every field
// it reads for its type and range and throws RecordFieldFault for the first that is wrong.
#ifndef KA_SERVICES_RECORD_RECORDCODEC_H
#define KA_SERVICES_RECORD_RECORDCODEC_H

#include "RecordSchema.h"

#include <nlohmann/json.hpp>

#include <string>
#include <string_view>
#include <utility>

namespace karecord {

// Lines are written with their fields in a fixed order, and read as any JSON object.
using WrittenLine = nlohmann::ordered_json;
using ReadLine = nlohmann::json;

// Why a line is refused: the words that follow "line N: ".
class RecordFieldFault {
  public:
    explicit RecordFieldFault(std::string why) : why_(std::move(why)) {}
    const std::string& Why() const { return why_; }

  private:
    std::string why_;
};

// One line's text as a JSON value. Throws ReadLine::exception as the parser does, and
// RecordFieldFault for what the parser would take silently: a NUL byte (the parser's end of
// input, with whatever follows it left unread) and a key given twice in one object (the
// parser keeps the last, so a failure's status could be followed by a success's).
ReadLine ParseRecordLine(std::string_view text);

// Text as a record keeps it: a string when it is UTF-8, otherwise {"bytes": hex digits}, so
// that a unit's serial number or a folder's name comes back exactly as it was.
WrittenLine EncodeText(std::string_view text);

// Each adds its fields to line, after whatever it holds ("seq" and "t" in a record).
void EncodeHeader(WrittenLine& line, const RecordHeader& header);
void EncodeTransaction(WrittenLine& line, const RecordedTransaction& transaction);
void EncodeBusEvent(WrittenLine& line, const RecordedBusEvent& event);
void EncodeRestart(WrittenLine& line, const RecordedRestart& restart);
void EncodeImageOutcome(WrittenLine& line, const RecordedImageOutcome& outcome);
void EncodeEnd(WrittenLine& line, const RecordedEnd& end);

// Refuses a first line that names another kind of file or another format.
void CheckRecordKind(const ReadLine& line);
// The facts of a header CheckRecordKind took.
RecordHeader DecodeHeader(const ReadLine& line);
// "seq" and "t": least and most bound them.
std::int64_t DecodeInteger(const ReadLine& line, const char* key, std::int64_t least,
                           std::uint64_t most);
RecordedTransaction DecodeTransaction(const ReadLine& line);
RecordedBusEvent DecodeBusEvent(const ReadLine& line);
RecordedImageOutcome DecodeImageOutcome(const ReadLine& line);
RecordedEnd DecodeEnd(const ReadLine& line);

}  // namespace karecord

#endif
