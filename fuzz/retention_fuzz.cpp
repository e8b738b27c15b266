// The retention job's verdict on one stored entry, on any bytes, held against what its parts
// say on their own: jsoncpp's reading of the timestamp member and the reference reading of the
// two timestamp texts.
//
// Input: two bytes of valid_duration (signed, little-endian), one byte choosing the present,
// then the entry. With the choice's low bit set, the present is the text up to the first newline
// of the rest and the entry follows it (a present that does not parse is skipped: the job's own
// always does); otherwise it is a fixed valid timestamp.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "finding.h"
#include "jobs/jsonfield.h"
#include "jobs/timeregister.h"
#include "timestamp_reference.h"

namespace {

using namespace timestamp_reference;

constexpr __int128 kHourNs = 3600LL * 1000000000LL;

void expect(const EntryJudgement& got, EntryVerdict verdict, std::string_view entry) {
    if (got.verdict != verdict) {
        finding("verdict %d, expected %d for %.*s", static_cast<int>(got.verdict),
                static_cast<int>(verdict), static_cast<int>(entry.size()), entry.data());
    }
    if ((verdict == EntryVerdict::kInvalidTimestamp) == got.reason.empty()) {
        finding("reason \"%s\" with verdict %d", got.reason.c_str(), static_cast<int>(verdict));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) {
        return 0;
    }
    const int valid_duration = static_cast<int16_t>(data[0] | data[1] << 8);
    std::string_view rest(reinterpret_cast<const char*>(data + 3), size - 3);
    std::string now = "2024-01-01T12:00:00.000000+0000";
    if (data[2] & 1) {
        const size_t nl = rest.find('\n');
        now = std::string(rest.substr(0, nl));
        rest = nl == std::string_view::npos ? std::string_view() : rest.substr(nl + 1);
    }
    const std::string_view entry = rest;
    // The job reads its own present, always a valid instant.
    const Result present = by_parser(now);
    if (present.outcome != Outcome::kValue) {
        return 0;
    }
    const EntryJudgement got = judge_entry(entry, present.value, valid_duration);

    const JsonField stamp = member_as_string_jsoncpp(entry, "timestamp");
    switch (stamp.status) {
        case FieldStatus::kNotJson:
            expect(got, EntryVerdict::kNotJson, entry);
            return 0;
        case FieldStatus::kNotObject:
        case FieldStatus::kNotScalar:
            expect(got, EntryVerdict::kInvalidTimestamp, entry);
            return 0;
        case FieldStatus::kText:
            break;
    }
    const Result then = by_parser(stamp.text);
    if (then.outcome == Outcome::kInvalid) {
        expect(got, EntryVerdict::kInvalidTimestamp, entry);
        if (got.reason != "Invalid date format") {
            finding("reason \"%s\" for an invalid text", got.reason.c_str());
        }
        return 0;
    }
    if (then.outcome != Outcome::kValue) {
        expect(got, EntryVerdict::kInvalidTimestamp, entry);
        return 0;
    }
    const __int128 hours = (static_cast<__int128>(present.value) - then.value) / kHourNs;
    const bool keep = (hours < 0 ? -hours : hours) <= valid_duration;
    expect(got, keep ? EntryVerdict::kKeep : EntryVerdict::kStale, entry);
    return 0;
}
