#include "RecordFiles.h"

#include "RecordCodec.h"
#include "RecordSchema.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace karecord {
namespace {

constexpr std::string_view kRecordNamePrefix = "update-";
constexpr std::string_view kRecordNameSuffix = ".jsonl";
// YYYYMMDDTHHMMSS.uuuuuuZ
constexpr std::size_t kStampLength = 8 + 1 + 6 + 1 + 6 + 1;
// "-<process>-<attempt>", room to spare for both numbers.
constexpr std::size_t kLongestTail = 24;

bool AllDigits(std::string_view text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

int Number(std::string_view digits) {
    int value = 0;
    for (const char digit : digits) {
        value = value * 10 + (digit - '0');
    }
    return value;
}

}  // namespace

std::string RecordFileName(std::chrono::system_clock::time_point now, int process,
                           unsigned attempt) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto micros =
        std::chrono::duration_cast<std::chrono::microseconds>(now.time_since_epoch()).count() %
        1000000;
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%S", &utc);
    char name[96];
    std::snprintf(name, sizeof name, "%.*s%s.%06lldZ-%d-%u%.*s",
                  static_cast<int>(kRecordNamePrefix.size()), kRecordNamePrefix.data(), stamp,
                  static_cast<long long>(micros), process, attempt,
                  static_cast<int>(kRecordNameSuffix.size()), kRecordNameSuffix.data());
    return name;
}

std::optional<std::int64_t> StartInRecordFileName(std::string_view name) {
    if (!name.starts_with(kRecordNamePrefix) || !name.ends_with(kRecordNameSuffix) ||
        name.size() < kRecordNamePrefix.size() + kStampLength + kRecordNameSuffix.size()) {
        return std::nullopt;
    }
    const std::string_view stamp = name.substr(kRecordNamePrefix.size(), kStampLength);
    const std::string_view rest = name.substr(
        kRecordNamePrefix.size() + kStampLength,
        name.size() - kRecordNamePrefix.size() - kStampLength - kRecordNameSuffix.size());
    const std::size_t dash = rest.rfind('-');
    if (!AllDigits(stamp.substr(0, 8)) || stamp[8] != 'T' || !AllDigits(stamp.substr(9, 6)) ||
        stamp[15] != '.' || !AllDigits(stamp.substr(16, 6)) || stamp[22] != 'Z' ||
        !rest.starts_with('-') || dash == 0 || dash == std::string_view::npos ||
        !AllDigits(rest.substr(1, dash - 1)) || !AllDigits(rest.substr(dash + 1)) ||
        rest.size() > kLongestTail) {
        return std::nullopt;
    }
    std::tm utc{};
    utc.tm_year = Number(stamp.substr(0, 4)) - 1900;
    utc.tm_mon = Number(stamp.substr(4, 2)) - 1;
    utc.tm_mday = Number(stamp.substr(6, 2));
    utc.tm_hour = Number(stamp.substr(9, 2));
    utc.tm_min = Number(stamp.substr(11, 2));
    utc.tm_sec = Number(stamp.substr(13, 2));
    const std::tm asked = utc;
    const std::time_t seconds = timegm(&utc);
    // A 31st of February or a 25th hour would be taken for another time, and no clock the
    // program ran under said a year before 1970: not names the program writes.
    if (asked.tm_year < 70 || utc.tm_year != asked.tm_year || utc.tm_mon != asked.tm_mon ||
        utc.tm_mday != asked.tm_mday || utc.tm_hour != asked.tm_hour ||
        utc.tm_min != asked.tm_min || utc.tm_sec != asked.tm_sec) {
        return std::nullopt;
    }
    return static_cast<std::int64_t>(seconds) * 1000000 + Number(stamp.substr(16, 6));
}

bool IsRecordHeaderText(std::string_view text) {
    const std::size_t end = text.substr(0, kLongestHeaderRead).find('\n');
    if (end == std::string_view::npos) {
        return false;
    }
    try {
        // Read as the reader reads it: a header it would refuse is no record of ours.
        const ReadLine header = ParseRecordLine(text.substr(0, end));
        const auto record = header.is_object() ? header.find("record") : header.end();
        return record != header.end() && record->is_string() && *record == kRecordKind;
    } catch (const RecordFieldFault&) {
        return false;
    } catch (const ReadLine::exception&) {
        return false;
    }
}

}  // namespace karecord
