// The timestamp reader and the hour difference on any bytes, held against the reference that
// reads the documented expression by the letter.
//
// Input: one timestamp text; or two, "first|second", for the hour difference. The reference's
// regular expression recurses per character in libstdc++, so only short texts go through it (the
// unit tests compare long fractions); longer ones must still not crash or throw anything else.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "finding.h"
#include "jobs/chrondiff.h"
#include "timestamp_reference.h"

namespace {

using namespace timestamp_reference;

constexpr size_t kRegexMax = 96;
constexpr __int128 kHourNs = 3600LL * 1000000000LL;

const char* name(Outcome o) {
    return o == Outcome::kValue ? "value" : o == Outcome::kInvalid ? "invalid" : "out of range";
}

Result checked(const std::string& text) {
    const Result parsed = by_parser(text);
    if (text.size() <= kRegexMax) {
        static const std::regex re(kPattern);
        const Result expected = by_regex(re, text);
        if (!(parsed == expected)) {
            finding("\"%s\": %s %lld, reference %s %lld", text.c_str(), name(parsed.outcome),
                    static_cast<long long>(parsed.value), name(expected.outcome),
                    static_cast<long long>(expected.value));
        }
    }
    return parsed;
}

// get_time_difference(first, second) as an outcome and, for a value, the hours.
Result difference(const std::string& first, const std::string& second) {
    try {
        return {Outcome::kValue, get_time_difference(first, second)};
    } catch (const std::invalid_argument&) {
        return {Outcome::kInvalid};
    } catch (const std::out_of_range&) {
        return {Outcome::kOutOfRange};
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const size_t bar = input.find('|');
    if (bar == std::string::npos) {
        checked(input);
        return 0;
    }
    const std::string first = input.substr(0, bar);
    const std::string second = input.substr(bar + 1);
    const Result a = checked(first);
    const Result b = checked(second);
    // The first text's failure wins, then the second's; otherwise the truncated hours.
    Result expected{Outcome::kValue};
    if (a.outcome != Outcome::kValue) {
        expected = {a.outcome};
    } else if (b.outcome != Outcome::kValue) {
        expected = {b.outcome};
    } else {
        expected.value =
            static_cast<std::int64_t>((static_cast<__int128>(a.value) - b.value) / kHourNs);
    }
    const Result got = difference(first, second);
    if (!(got == expected)) {
        finding("difference \"%s\" - \"%s\": %s %lld, expected %s %lld", first.c_str(),
                second.c_str(), name(got.outcome), static_cast<long long>(got.value),
                name(expected.outcome), static_cast<long long>(expected.value));
    }
    if (got.outcome == Outcome::kValue && b.outcome == Outcome::kValue) {
        const Result back = difference(second, first);
        if (back.outcome != Outcome::kValue || back.value != -got.value) {
            finding("difference is not antisymmetric: %lld and %lld",
                    static_cast<long long>(got.value), static_cast<long long>(back.value));
        }
    }
    return 0;
}
