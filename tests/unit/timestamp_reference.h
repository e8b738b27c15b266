// The timestamp reader's meaning written out by the letter, for the unit tests and the fuzzer
// to hold the hand-written scan against: the documented expression, std::stoi, timegm,
// std::stod and 128-bit arithmetic.
#pragma once

#include <cstdint>
#include <ctime>
#include <ostream>
#include <regex>
#include <stdexcept>
#include <string>

#include "jobs/chrondiff.h"

namespace timestamp_reference {

// The expression parseISO8601 documents.
inline const char* const kPattern =
    "(\\d{4})-(\\d{2})-(\\d{2})T(\\d{2}):(\\d{2}):(\\d{2})(\\.\\d+)?([+-])(\\d{2})(?::?)(\\d{2})";

enum class Outcome { kValue, kInvalid, kOutOfRange };
struct Result {
    Outcome outcome;
    std::int64_t value = 0;
    bool operator==(const Result& o) const { return outcome == o.outcome && value == o.value; }
};

inline std::ostream& operator<<(std::ostream& os, const Result& r) {
    const char* names[] = {"value", "invalid", "out of range"};
    return os << names[static_cast<int>(r.outcome)] << " " << r.value;
}

// The reading by the letter: the expression, std::stoi, timegm, std::stod, 64-bit arithmetic.
inline Result by_regex(const std::regex& re, const std::string& text) {
    std::smatch m;
    if (!std::regex_match(text, m, re)) {
        return {Outcome::kInvalid};
    }
    std::tm tm{};
    tm.tm_year = std::stoi(m[1]) - 1900;
    tm.tm_mon = std::stoi(m[2]) - 1;
    tm.tm_mday = std::stoi(m[3]);
    tm.tm_hour = std::stoi(m[4]);
    tm.tm_min = std::stoi(m[5]);
    tm.tm_sec = std::stoi(m[6]);
    int millis = 0;
    if (m[7].matched) {
        try {
            millis = static_cast<int>(std::stod(m[7].str()) * 1000.0);
        } catch (const std::out_of_range&) {
            return {Outcome::kOutOfRange};
        }
    }
    const int sign = m[8] == "-" ? -1 : 1;
    const int offset = sign * std::stoi(m[9]) * 60 + sign * std::stoi(m[10]);
    const __int128 ns = static_cast<__int128>(timegm(&tm)) * 1000000000 +
                        static_cast<__int128>(millis) * 1000000 -
                        static_cast<__int128>(offset) * 60000000000;
    if (ns < INT64_MIN || ns > INT64_MAX) {
        return {Outcome::kOutOfRange};
    }
    return {Outcome::kValue, static_cast<std::int64_t>(ns)};
}

inline Result by_parser(const std::string& text) {
    try {
        return {Outcome::kValue, parseISO8601(text)};
    } catch (const std::invalid_argument&) {
        return {Outcome::kInvalid};
    } catch (const std::out_of_range&) {
        return {Outcome::kOutOfRange};
    }
}

}  // namespace timestamp_reference
