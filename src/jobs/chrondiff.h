// Timestamp texts as the monitoring engine writes them (2024-01-01T12:00:00.123456+0100): reading
// one into an instant, and the distance between two of them in whole hours.
#pragma once

#include <cstdint>
#include <string_view>

// The instant a timestamp text denotes, in nanoseconds since 1970-01-01T00:00:00 UTC.
//
// Accepts exactly the texts matched as a whole by the ECMAScript expression
//   (\d{4})-(\d{2})-(\d{2})T(\d{2}):(\d{2}):(\d{2})(\.\d+)?([+-])(\d{2})(?::?)(\d{2})
// and throws std::invalid_argument("Invalid date format") for anything else. Fields beyond their
// usual range carry over (2024-02-30 is March 1st, 24:00:00 the next midnight, +9999 an offset of
// 99 h 99 min). The fraction counts in whole milliseconds, read as std::stod reads the point and
// its digits, times 1000, truncated: ".9999999999999999999" is a full second, and a fraction too
// small for a double throws stod's std::out_of_range. An instant outside the signed 64-bit
// nanosecond range (before 1677-09-21 or after 2262-04-11) throws std::out_of_range.
std::int64_t parseISO8601(std::string_view text);

// The whole hours from `second` to `first` (first minus second), truncated toward zero, so
// swapping the arguments negates the result. Parses `first` before `second` and passes on what
// parseISO8601 throws. Never overflows: the two instants may lie more than 292 years apart.
std::int32_t get_time_difference(std::string_view first, std::string_view second);

// The same for two instants as parseISO8601 gives them.
std::int32_t hours_between(std::int64_t first, std::int64_t second);
