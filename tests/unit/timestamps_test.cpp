// The timestamp reader and the hour difference, checked against literal cases and against the
// regular expression the reader must agree with, on generated and mutated texts.
#include <pthread.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <random>
#include <regex>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "jobs/chrondiff.h"
#include "stats/stats.h"
#include "timestamp_reference.h"

namespace {

using namespace timestamp_reference;

constexpr std::int64_t kSecond = 1000000000;
constexpr std::int64_t kMilli = 1000000;
constexpr std::int64_t kHour = 3600 * kSecond;

// The instant of a UTC date and time, by the C library.
std::int64_t utc_ns(int year, int month, int day, int hour = 0, int minute = 0, int second = 0) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    return static_cast<std::int64_t>(timegm(&tm)) * kSecond;
}

void expect_invalid(const std::string& text) {
    try {
        parseISO8601(text);
        ADD_FAILURE() << "accepted: \"" << text << "\"";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "Invalid date format") << text;
    }
}

TEST(Timestamps, OffsetFormsDenoteTheSameInstant) {
    const std::int64_t utc = parseISO8601("2024-01-01T11:00:00+0000");
    EXPECT_EQ(utc, utc_ns(2024, 1, 1, 11));
    EXPECT_EQ(parseISO8601("2024-01-01T12:00:00+0100"), utc);
    EXPECT_EQ(parseISO8601("2024-01-01T12:00:00+01:00"), utc);
    EXPECT_EQ(parseISO8601("2024-01-01T10:30:00-00:30"), utc);
    EXPECT_EQ(parseISO8601("2024-01-01T11:00:00-0000"), utc);
    EXPECT_EQ(get_time_difference("2024-01-01T12:00:00+0100", "2024-01-01T11:00:00+0000"), 0);
    EXPECT_EQ(get_time_difference("2024-01-01T12:00:00+01:00", "2024-01-01T12:00:00+0100"), 0);
}

TEST(Timestamps, FractionCountsWholeMilliseconds) {
    const std::int64_t base = parseISO8601("2024-01-01T12:00:00+0000");
    EXPECT_EQ(parseISO8601("2024-01-01T12:00:00.999+0000") - base, 999 * kMilli);
    EXPECT_EQ(parseISO8601("2024-01-01T12:00:00.1234+0000") - base, 123 * kMilli);
    EXPECT_EQ(parseISO8601("2024-01-01T12:00:00.5+0000") - base, 500 * kMilli);
    EXPECT_EQ(parseISO8601("2024-01-01T12:00:00.0009+0000"), base);
    // The worked example: the microseconds are lost, the offset is honoured.
    EXPECT_EQ(parseISO8601("2024-01-01T12:00:00.123456+0100"),
              utc_ns(2024, 1, 1, 11) + 123 * kMilli);
    // stod rounds these to 1.0 and to a hair below 0.3 respectively.
    EXPECT_EQ(parseISO8601("2024-01-01T12:00:00.9999999999999999999+0000") - base, 1000 * kMilli);
    EXPECT_EQ(parseISO8601("2024-01-01T12:00:00.3+0000") - base, 300 * kMilli);
    EXPECT_EQ(parseISO8601("2024-01-01T12:00:00.0000000000000000000000001+0000"), base);
}

TEST(Timestamps, FractionMillisecondsAreStodsForEveryShortFraction) {
    const std::int64_t base = parseISO8601("2024-01-01T12:00:00+0000");
    const auto check = [&](const std::string& digits) {
        const std::int64_t want = static_cast<int>(std::stod("." + digits) * 1000.0);
        ASSERT_EQ(parseISO8601("2024-01-01T12:00:00." + digits + "+0000") - base, want * kMilli)
            << digits;
    };
    for (int width = 1; width <= 4; ++width) {
        for (int v = 0; v < (width == 1 ? 10 : width == 2 ? 100 : width == 3 ? 1000 : 10000); ++v) {
            std::string digits = std::to_string(v);
            check(std::string(width - digits.size(), '0') + digits);
        }
    }
    std::mt19937_64 rng(7);
    for (int i = 0; i < 20000; ++i) {
        const size_t width = 5 + rng() % 18;
        std::string digits;
        for (size_t d = 0; d < width; ++d) {
            digits += static_cast<char>('0' + rng() % 10);
        }
        check(digits);
        check(std::string(width, '9'));
    }
}

TEST(Timestamps, FractionUnderflowThrowsOutOfRange) {
    const std::string tiny = "2024-01-01T12:00:00." + std::string(400, '0') + "1+0000";
    EXPECT_THROW(parseISO8601(tiny), std::out_of_range);
    const std::string zeros = "2024-01-01T12:00:00." + std::string(400, '0') + "+0000";
    EXPECT_EQ(parseISO8601(zeros), parseISO8601("2024-01-01T12:00:00+0000"));
}

TEST(Timestamps, HundredThousandDigitFractionIsRead) {
    const std::string text = "2024-01-01T12:00:00.5" + std::string(100000, '7') + "+0000";
    EXPECT_EQ(parseISO8601(text) - parseISO8601("2024-01-01T12:00:00+0000"), 577 * kMilli);
    expect_invalid("2024-01-01T12:00:00." + std::string(100000, '7') + "Z");
}

TEST(Timestamps, RejectedForms) {
    for (const char* text : {
             "",
             "2024-01-01T12:00:00Z",
             "2024-01-01 12:00:00+0000",
             "2024-01-01t12:00:00+0000",
             "2024-01-01T12:00:00",
             " 2024-01-01T12:00:00+0000",
             "2024-01-01T12:00:00+0000 ",
             "2024-01-01T12:00:00.+0000",
             "2024-01-01T12:00:00+00:0:0",
             "2024-01-01T12:00:00+000",
             "2024-01-01T12:00:00+00000",
             "2024-01-01T12:00:00+0000\n",
             "2024-01-01T12:00+0000",
             "24-01-01T12:00:00+0000",
             "2024-1-01T12:00:00+0000",
             "2024-01-01T12:00:00,5+0000",
             "2024-01-01T12:00:00+01::00",
             "2024-01-01T12:00:00*0100",
             "+2024-01-01T12:00:00+0000",
             "2024-01-01T12:00:00.5.5+0000",
             "2024-01-01T12:00:00+0100Z",
             "2024/01/01T12:00:00+0000",
         }) {
        expect_invalid(text);
    }
    expect_invalid(std::string("2024-01-01T12:00:00+0000\0", 25));
    expect_invalid(std::string("2024-01-01T12:00:00\0+0000", 25));
    // Non-ASCII digits are not digits.
    expect_invalid(
        "2024-01-01T12:00:00+0\xd9\xa0"
        "00");
}

TEST(Timestamps, OutOfRangeFieldsCarry) {
    EXPECT_EQ(parseISO8601("2024-02-30T00:00:00+0000"), utc_ns(2024, 3, 1));
    EXPECT_EQ(parseISO8601("2024-01-01T24:00:00+0000"), utc_ns(2024, 1, 2));
    EXPECT_EQ(parseISO8601("2023-02-29T00:00:00+0000"), utc_ns(2023, 3, 1));
    EXPECT_EQ(parseISO8601("2024-00-01T00:00:00+0000"), utc_ns(2023, 12, 1));
    EXPECT_EQ(parseISO8601("2024-01-00T00:00:00+0000"), utc_ns(2023, 12, 31));
    EXPECT_EQ(parseISO8601("2024-13-01T00:00:00+0000"), utc_ns(2025, 1, 1));
    EXPECT_EQ(parseISO8601("2024-99-99T99:99:99+0000"), utc_ns(2024, 99, 99, 99, 99, 99));
    EXPECT_EQ(parseISO8601("2024-01-01T00:00:00+9999"),
              utc_ns(2024, 1, 1) - (99 * 60 + 99) * 60 * kSecond);
    EXPECT_EQ(parseISO8601("2024-01-01T00:00:00-99:99"),
              utc_ns(2024, 1, 1) + (99 * 60 + 99) * 60 * kSecond);
}

TEST(Timestamps, InstantsBeyondTheNanosecondRangeThrowOutOfRange) {
    EXPECT_EQ(parseISO8601("1970-01-01T00:00:00+0000"), 0);
    EXPECT_EQ(parseISO8601("2262-04-11T23:47:16.854+0000"), INT64_MAX / kMilli * kMilli);
    EXPECT_THROW(parseISO8601("2262-04-11T23:47:17+0000"), std::out_of_range);
    EXPECT_EQ(parseISO8601("1677-09-21T00:12:44+0000"), -9223372036 * kSecond);
    EXPECT_THROW(parseISO8601("1677-09-21T00:12:43+0000"), std::out_of_range);
    EXPECT_THROW(parseISO8601("9999-99-99T99:99:99.9999+0000"), std::out_of_range);
    EXPECT_THROW(parseISO8601("0000-00-00T00:00:00+9999"), std::out_of_range);
}

TEST(Timestamps, DifferenceTruncatesTowardZeroAndIsAntisymmetric) {
    EXPECT_EQ(get_time_difference("2024-01-02T12:00:00+0000", "2024-01-01T12:00:00.5+0100"), 24);
    EXPECT_EQ(get_time_difference("2024-01-01T12:00:00.5+0100", "2024-01-02T12:00:00+0000"), -24);
    EXPECT_EQ(get_time_difference("2024-01-01T13:59:00+0000", "2024-01-01T12:00:00+0000"), 1);
    EXPECT_EQ(get_time_difference("2024-01-01T12:00:00+0000", "2024-01-01T13:59:00+0000"), -1);
    EXPECT_EQ(get_time_difference("2024-01-01T12:59:59.999+0000", "2024-01-01T12:00:00+0000"), 0);
    EXPECT_EQ(get_time_difference("2024-01-01T11:00:00.001+0000", "2024-01-01T12:00:00+0000"), 0);
    // The retention window's edges at valid_duration 24.
    const char* now = "2024-01-02T12:00:00+0000";
    EXPECT_EQ(get_time_difference(now, "2024-01-01T11:00:01+0000"), 24);
    EXPECT_EQ(get_time_difference(now, "2024-01-03T12:59:00+0000"), -24);
    EXPECT_EQ(get_time_difference(now, "2024-01-03T12:59:59.999+0000"), -24);
    EXPECT_EQ(get_time_difference(now, "2024-01-01T11:00:00+0000"), 25);
    EXPECT_EQ(get_time_difference(now, "2024-01-03T13:00:00+0000"), -25);
}

TEST(Timestamps, DifferenceAcrossTheWholeRangeDoesNotOverflow) {
    const char* early = "1677-09-21T00:12:44+0000";
    const char* late = "2262-04-11T23:47:16+0000";
    const std::int64_t hours =
        (parseISO8601(late) / kSecond - parseISO8601(early) / kSecond) / 3600;
    EXPECT_EQ(get_time_difference(late, early), hours);
    EXPECT_EQ(get_time_difference(early, late), -hours);
}

TEST(Timestamps, DifferenceParsesTheFirstTextFirst) {
    try {
        get_time_difference("bad", "2024-01-01T12:00:00." + std::string(400, '0') + "1+0000");
        ADD_FAILURE() << "no exception";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "Invalid date format");
    }
    EXPECT_THROW(get_time_difference("2024-01-01T12:00:00+0000", "2024-01-01"),
                 std::invalid_argument);
}

TEST(Timestamps, CurrentTimeTextHasTheFormAndReadsBack) {
    const char* saved = std::getenv("TZ");
    const std::string saved_tz = saved ? saved : "";
    for (const char* tz : {"UTC0", "XST+5", "YST-5:30"}) {
        setenv("TZ", tz, 1);
        tzset();
        const std::time_t before = std::time(nullptr);
        const std::string text = getCurrentTimeISO8601();
        const std::time_t after = std::time(nullptr);
        ASSERT_EQ(text.size(), 24u) << text;
        EXPECT_EQ(text.find('.'), std::string::npos) << text;
        EXPECT_EQ(text.find(':', 19), std::string::npos) << text;
        const std::int64_t ns = parseISO8601(text);
        EXPECT_EQ(ns % kSecond, 0);
        EXPECT_GE(ns / kSecond, before);
        EXPECT_LE(ns / kSecond, after);
        const std::string offset = text.substr(19);
        EXPECT_EQ(offset, std::string(tz) == "UTC0" ? "+0000" : tz[3] == '+' ? "-0500" : "+0530");
    }
    if (saved) {
        setenv("TZ", saved_tz.c_str(), 1);
    } else {
        unsetenv("TZ");
    }
    tzset();
}

// ---------------------------------------------------------------- equivalence with the regex

// libstdc++'s regex matcher recurses once per character or so; long fractions need a big stack.
void on_big_stack(const std::function<void()>& fn) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 1u << 30);
    pthread_t thread;
    auto run = [](void* arg) -> void* {
        (*static_cast<const std::function<void()>*>(arg))();
        return nullptr;
    };
    ASSERT_EQ(pthread_create(&thread, &attr, run, const_cast<std::function<void()>*>(&fn)), 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);
}

std::string digits(std::mt19937& rng, size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += static_cast<char>('0' + rng() % 10);
    }
    return s;
}

// A text of the language: plausible or extreme fields, fractions of every kind of length.
std::string valid_text(std::mt19937& rng) {
    auto field = [&](int plausible_max) {
        const int v = rng() % 4 == 0 ? static_cast<int>(rng() % 100)
                                     : static_cast<int>(rng() % plausible_max);
        return std::string(1, static_cast<char>('0' + v / 10)) + static_cast<char>('0' + v % 10);
    };
    std::string year = rng() % 3 == 0 ? digits(rng, 4) : std::to_string(1970 + rng() % 100);
    std::string s = year + "-" + field(13) + "-" + field(32) + "T" + field(25) + ":" + field(61) +
                    ":" + field(61);
    switch (rng() % 6) {
        case 0:
            break;
        case 1:
            s += "." + digits(rng, 1 + rng() % 9);
            break;
        case 2:
            s += "." + digits(rng, 10 + rng() % 30);
            break;
        case 3:
            s += "." + std::string(rng() % 400, '0') + digits(rng, rng() % 3);
            if (s.back() == '.') {
                s += '0';
            }
            break;
        case 4:
            s += "." + digits(rng, 1 + rng() % 3000);
            break;
        default:
            s += "." + std::string(1 + rng() % 30, '9');
            break;
    }
    s += rng() % 2 ? "+" : "-";
    s += field(15);
    if (rng() % 2) {
        s += ":";
    }
    s += field(60);
    return s;
}

// The same text off by one character: one replaced, inserted or removed.
std::string mutated(std::mt19937& rng, std::string s) {
    static const char alphabet[] =
        "0123456789-:T.+tZ ,\n\0\x80\xff"
        "a";
    const char c = alphabet[rng() % (sizeof alphabet - 1)];
    const size_t pos = rng() % (s.size() + 1);
    switch (rng() % 3) {
        case 0:
            if (pos < s.size()) {
                s[pos] = c;
                break;
            }
            [[fallthrough]];
        case 1:
            s.insert(s.begin() + pos, c);
            break;
        default:
            if (!s.empty()) {
                s.erase(s.begin() + pos % s.size());
            }
            break;
    }
    return s;
}

TEST(Timestamps, AgreesWithTheRegularExpression) {
    on_big_stack([] {
        const std::regex re(kPattern);
        std::mt19937 rng(20241207);
        int accepted = 0;
        int rejected = 0;
        for (int i = 0; i < 3000; ++i) {
            std::string text = valid_text(rng);
            for (int round = 0; round < 3; ++round) {
                const Result expected = by_regex(re, text);
                ASSERT_EQ(by_parser(text), expected) << "text: \"" << text << "\"";
                (expected.outcome == Outcome::kInvalid ? rejected : accepted)++;
                text = mutated(rng, text);
            }
        }
        // Both sides of the language were exercised.
        EXPECT_GT(accepted, 3000);
        EXPECT_GT(rejected, 2000);
    });
}

}  // namespace
