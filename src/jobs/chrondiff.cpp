// Timestamp arithmetic. The reader is a hand-written scan of a fixed shape: it runs twice per
// stored event on every retention run, and it must survive fractions of any length without
// recursion or per-call set-up.
#include "jobs/chrondiff.h"

#include <stdexcept>
#include <string>

namespace {

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// The value of `n` digits at text[pos...]; the caller has checked they are digits.
int digits_value(std::string_view text, size_t pos, size_t n) {
    int v = 0;
    for (size_t i = 0; i < n; ++i) {
        v = v * 10 + (text[pos + i] - '0');
    }
    return v;
}

bool digits_at(std::string_view text, size_t pos, size_t n) {
    if (pos + n > text.size()) {
        return false;
    }
    for (size_t i = 0; i < n; ++i) {
        if (!is_digit(text[pos + i])) {
            return false;
        }
    }
    return true;
}

// Days from 1970-01-01 to year-month-01 in the proleptic Gregorian calendar, month 1..12.
std::int64_t days_from_civil(std::int64_t year, int month) {
    year -= month <= 2 ? 1 : 0;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const std::int64_t yoe = year - era * 400;
    const std::int64_t doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

// Milliseconds of a fraction text (the point and at least one digit), as
// static_cast<int>(std::stod(fraction) * 1000.0). Up to 15 digits the numerator and 10^digits
// are both exact doubles, so their quotient is the correctly rounded value that stod gives too;
// longer fractions go through stod itself, with its rounding and its underflow error.
int fraction_millis(std::string_view fraction) {
    constexpr double kPow10[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                 1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
    const size_t digits = fraction.size() - 1;
    if (digits <= 15) {
        std::int64_t n = 0;
        for (size_t i = 1; i < fraction.size(); ++i) {
            n = n * 10 + (fraction[i] - '0');
        }
        return static_cast<int>(static_cast<double>(n) / kPow10[digits] * 1000.0);
    }
    return static_cast<int>(std::stod(std::string(fraction)) * 1000.0);
}

[[noreturn]] void invalid() {
    throw std::invalid_argument("Invalid date format");
}

}  // namespace

std::int64_t parseISO8601(std::string_view text) {
    // The fixed head: YYYY-MM-DDTHH:MM:SS (19 characters).
    if (text.size() < 19 || !digits_at(text, 0, 4) || text[4] != '-' || !digits_at(text, 5, 2) ||
        text[7] != '-' || !digits_at(text, 8, 2) || text[10] != 'T' || !digits_at(text, 11, 2) ||
        text[13] != ':' || !digits_at(text, 14, 2) || text[16] != ':' || !digits_at(text, 17, 2)) {
        invalid();
    }
    size_t pos = 19;
    std::string_view fraction;
    if (pos < text.size() && text[pos] == '.') {
        size_t end = pos + 1;
        while (end < text.size() && is_digit(text[end])) {
            ++end;
        }
        if (end == pos + 1) {
            invalid();
        }
        fraction = text.substr(pos, end - pos);
        pos = end;
    }
    // The offset: a sign, then HHMM or HH:MM, and nothing after it.
    if (pos >= text.size() || (text[pos] != '+' && text[pos] != '-')) {
        invalid();
    }
    const int sign = text[pos] == '-' ? -1 : 1;
    ++pos;
    if (!digits_at(text, pos, 2)) {
        invalid();
    }
    const int offset_hours = digits_value(text, pos, 2);
    pos += 2;
    if (pos < text.size() && text[pos] == ':') {
        ++pos;
    }
    if (!digits_at(text, pos, 2) || pos + 2 != text.size()) {
        invalid();
    }
    const int offset_minutes = digits_value(text, pos, 2);

    const int year = digits_value(text, 0, 4);
    const int month = digits_value(text, 5, 2);  // 0..99: carries into the years
    const int day = digits_value(text, 8, 2);    // 0..99: carries into the months
    const int hour = digits_value(text, 11, 2);
    const int minute = digits_value(text, 14, 2);
    const int second = digits_value(text, 17, 2);
    const int millis = fraction.empty() ? 0 : fraction_millis(fraction);

    // Months counted from January of `year`, split into whole years and a month 1..12 the way
    // timegm normalises tm_mon (month 0 is December of the year before).
    const int months = month - 1;
    const int carry_years = months >= 0 ? months / 12 : -1;
    const int month_in_year = months - carry_years * 12 + 1;
    const std::int64_t days = days_from_civil(year + carry_years, month_in_year) + (day - 1);
    const std::int64_t seconds = days * 86400 + hour * 3600 + minute * 60 + second;
    const std::int64_t offset = sign * (offset_hours * 60 + offset_minutes);

    // Years 0000..9999 reach beyond the 64-bit nanosecond range; compute wide and check.
    const __int128 ns = static_cast<__int128>(seconds) * 1000000000 +
                        static_cast<__int128>(millis) * 1000000 -
                        static_cast<__int128>(offset) * 60000000000;
    if (ns < INT64_MIN || ns > INT64_MAX) {
        throw std::out_of_range("timestamp outside the 64-bit nanosecond range");
    }
    return static_cast<std::int64_t>(ns);
}

std::int32_t get_time_difference(std::string_view first, std::string_view second) {
    const std::int64_t a = parseISO8601(first);
    return hours_between(a, parseISO8601(second));
}

std::int32_t hours_between(std::int64_t first, std::int64_t second) {
    const __int128 diff = static_cast<__int128>(first) - second;
    return static_cast<std::int32_t>(diff / 3600000000000LL);
}
