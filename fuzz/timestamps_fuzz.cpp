// The timestamp reader on any bytes, held against the reading its header documents done by the
// letter: the expression, std::stoi, timegm, std::stod and 128-bit arithmetic. The hour
// difference of two instants is plain arithmetic, checked on its edges by the unit tests.
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <regex>
#include <stdexcept>
#include <string>
#include <utility>

#include "jobs/chrondiff.h"

namespace {

enum Outcome { kValue, kInvalid, kOutOfRange };
using Result = std::pair<Outcome, __int128>;

template <typename Read>
Result outcome(Read read) {
    try {
        return {kValue, read()};
    } catch (const std::invalid_argument&) {
        return {kInvalid, 0};
    } catch (const std::out_of_range&) {
        return {kOutOfRange, 0};
    }
}

Result by_the_letter(const std::string& text) {
    static const std::regex re(
        R"((\d{4})-(\d{2})-(\d{2})T(\d{2}):(\d{2}):(\d{2})(\.\d+)?([+-])(\d{2})(?::?)(\d{2}))");
    std::smatch m;
    if (!std::regex_match(text, m, re)) {
        return {kInvalid, 0};
    }
    const auto field = [&](int i) { return std::stoi(m[i]); };
    std::tm tm{};
    tm.tm_year = field(1) - 1900;
    tm.tm_mon = field(2) - 1;
    tm.tm_mday = field(3);
    tm.tm_hour = field(4);
    tm.tm_min = field(5);
    tm.tm_sec = field(6);
    const int sign = m[8] == "-" ? -1 : 1;
    return outcome([&] {
        const int millis = m[7].matched ? static_cast<int>(std::stod(m[7]) * 1000.0) : 0;
        const __int128 ns =
            (__int128{timegm(&tm)} - sign * (field(9) * 60 + field(10)) * 60) * 1000000000 +
            __int128{millis} * 1000000;
        return ns < INT64_MIN || ns > INT64_MAX ? throw std::out_of_range("") : ns;
    });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const Result got = outcome([&] { return __int128{parseISO8601(text)}; });
    // libstdc++'s regex matcher recurses per character: longer texts need only not crash.
    if (size <= 96 && got != by_the_letter(text)) {
        std::abort();
    }
    return 0;
}
