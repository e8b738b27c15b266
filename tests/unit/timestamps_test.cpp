// The timestamp reader and the hour difference on literal boundary texts. Generated and mutated
// texts are the fuzz target's (fuzz/timestamps_fuzz.cpp), held against the documented expression.
#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>

#include "jobs/chrondiff.h"

namespace {

constexpr std::int64_t kSecond = 1000000000;
constexpr std::int64_t kMilli = 1000000;
constexpr std::int64_t k2024 = 1704067200 * kSecond;  // 2024-01-01T00:00:00+0000

std::int64_t at(const std::string& fraction_and_offset) {
    return parseISO8601("2024-01-01T00:00:00" + fraction_and_offset) - k2024;
}

TEST(Timestamps, OffsetsAndFractionsInWholeMilliseconds) {
    EXPECT_EQ(at("+0100"), -3600 * kSecond);
    EXPECT_EQ(at("+01:00"), -3600 * kSecond);
    EXPECT_EQ(at("-00:30"), 1800 * kSecond);
    EXPECT_EQ(at("-0000"), 0);
    EXPECT_EQ(at("+9999"), -(99 * 60 + 99) * 60 * kSecond);  // fields carry over
    EXPECT_EQ(at(".123456+0000"), 123 * kMilli);
    EXPECT_EQ(at(".0009+0000"), 0);
    EXPECT_EQ(at(".9999999999999999999+0000"), 1000 * kMilli);  // stod rounds it to 1
    EXPECT_EQ(at("." + std::string(400, '0') + "+0000"), 0);
    EXPECT_THROW(at("." + std::string(400, '0') + "1+0000"), std::out_of_range);
}

TEST(Timestamps, FieldsCarryOverWithinTheNanosecondRange) {
    EXPECT_EQ(parseISO8601("2024-02-30T00:00:00+0000"), 1709251200 * kSecond);
    EXPECT_EQ(parseISO8601("2023-12-32T00:00:00+0000"), k2024);
    EXPECT_EQ(parseISO8601("2023-12-31T24:00:00+0000"), k2024);
    // Instants beyond 64-bit nanoseconds are out of range.
    EXPECT_EQ(parseISO8601("2262-04-11T23:47:16.854+0000"), INT64_MAX / kMilli * kMilli);
    EXPECT_THROW(parseISO8601("2262-04-11T23:47:17+0000"), std::out_of_range);
    EXPECT_EQ(parseISO8601("1677-09-21T00:12:44+0000"), -9223372036 * kSecond);
    EXPECT_THROW(parseISO8601("1677-09-21T00:12:43+0000"), std::out_of_range);
}

// clang-format off
const char* const kInvalid[] = {
    "", "2024-01-01T12:00:00Z", "2024-01-01 12:00:00+0000", "2024-01-01t12:00:00+0000",
    "2024-01-01T12:00:00", " 2024-01-01T12:00:00+0000", "2024-01-01T12:00:00+0000\n",
    "2024-01-01T12:00:00.+0000", "2024-01-01T12:00:00+000", "2024-01-01T12:00:00+01::00",
    "2024-1-01T12:00:00+0000", "2024-01-01T12:00:00,5+0000", "2024-01-01T12:00:00+0\u066000"};
// clang-format on

TEST(Timestamps, OtherFormsAreInvalid) {
    for (const char* text : kInvalid) {
        EXPECT_THROW(parseISO8601(text), std::invalid_argument) << text;
    }
    EXPECT_THROW(parseISO8601({"2024-01-01T12:00:00\0+0000", 25}), std::invalid_argument);
}

TEST(Timestamps, DifferenceTruncatesTowardZeroAndParsesTheFirstTextFirst) {
    const char* now = "2024-01-02T12:00:00+0000";
    EXPECT_EQ(get_time_difference(now, "2024-01-01T11:00:01+0000"), 24);
    EXPECT_EQ(get_time_difference(now, "2024-01-01T11:00:00+0000"), 25);
    EXPECT_EQ(get_time_difference(now, "2024-01-03T12:59:59.999+0000"), -24);
    EXPECT_EQ(get_time_difference(now, "2024-01-03T13:00:00+0000"), -25);
    EXPECT_EQ(get_time_difference("2262-04-11T23:47:16+0000", "1677-09-21T00:12:44+0000"), 5124095);
    EXPECT_THROW(
        get_time_difference("bad", "2024-01-01T00:00:00." + std::string(400, '0') + "1+0000"),
        std::invalid_argument);
}

}  // namespace
