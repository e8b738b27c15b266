// The retention job's verdict on one entry, without a server.
#include <string>

#include <gtest/gtest.h>

#include "jobs/timeregister.h"

namespace {

constexpr const char* kNow = "2024-01-02T12:00:00+0000";

std::string event(const std::string& stamp_json) {
    return R"({"event_type":"alert","timestamp":)" + stamp_json + R"(,"src_ip":"10.0.0.1"})";
}
std::string stamped(const std::string& stamp) {
    return event("\"" + stamp + "\"");
}

EntryVerdict verdict(const std::string& entry, int valid_duration = 24) {
    return judge_entry(entry, kNow, valid_duration).verdict;
}

TEST(RetentionVerdict, WindowEdgesInWholeHoursEitherWay) {
    EXPECT_EQ(verdict(stamped("2024-01-01T11:00:01+0000")), EntryVerdict::kKeep);
    EXPECT_EQ(verdict(stamped("2024-01-03T12:59:00+0000")), EntryVerdict::kKeep);
    EXPECT_EQ(verdict(stamped("2024-01-01T11:00:00+0000")), EntryVerdict::kStale);
    EXPECT_EQ(verdict(stamped("2024-01-03T13:00:00+0000")), EntryVerdict::kStale);
    EXPECT_EQ(verdict(stamped("2024-01-01T12:00:00.5+0100")), EntryVerdict::kKeep);
    // 0 keeps less than an hour either way; a negative window keeps nothing.
    EXPECT_EQ(verdict(stamped("2024-01-02T11:00:00.001+0000"), 0), EntryVerdict::kKeep);
    EXPECT_EQ(verdict(stamped("2024-01-02T12:59:59+0000"), 0), EntryVerdict::kKeep);
    EXPECT_EQ(verdict(stamped("2024-01-02T11:00:00+0000"), 0), EntryVerdict::kStale);
    EXPECT_EQ(verdict(stamped(kNow), -1), EntryVerdict::kStale);
}

TEST(RetentionVerdict, EntriesThatCannotBeAgedAreInvalidWithAReason) {
    const auto reason = [](const std::string& entry) {
        const EntryJudgement j = judge_entry(entry, kNow, 24);
        EXPECT_EQ(j.verdict, EntryVerdict::kInvalidTimestamp) << entry;
        return j.reason;
    };
    EXPECT_EQ(reason(R"({"event_type":"alert"})"), "Invalid date format");
    EXPECT_EQ(reason(stamped("")), "Invalid date format");
    EXPECT_EQ(reason(stamped("2024-01-02T12:00:00Z")), "Invalid date format");
    EXPECT_EQ(reason(event("1704196800")), "Invalid date format");
    EXPECT_EQ(reason(event("null")), "Invalid date format");
    EXPECT_EQ(reason("null"), "Invalid date format");
    EXPECT_EQ(reason(stamped("2024-01-02T12:00:00." + std::string(400, '0') + "1+0000")), "stod");
    EXPECT_EQ(reason(stamped("9999-01-01T00:00:00+0000")),
              "timestamp outside the 64-bit nanosecond range");
    EXPECT_FALSE(reason(event(R"({"t":1})")).empty());
    EXPECT_FALSE(reason(event(R"(["2024-01-02T12:00:00+0000"])")).empty());
    EXPECT_FALSE(reason(R"(["2024-01-02T12:00:00+0000"])").empty());
    EXPECT_FALSE(reason("42").empty());
}

TEST(RetentionVerdict, UnreadableDocumentsAreNotJson) {
    EXPECT_EQ(verdict(""), EntryVerdict::kNotJson);
    EXPECT_EQ(verdict("not json"), EntryVerdict::kNotJson);
    EXPECT_EQ(verdict(R"({"timestamp":"2024-01-02T12:00:00+0000")"), EntryVerdict::kNotJson);
    // jsoncpp throws on a member nested 1,000 deep instead of failing; a parse failure too.
    const std::string deep = event(std::string(1000, '[') + std::string(1000, ']'));
    EXPECT_EQ(verdict(deep), EntryVerdict::kNotJson);
}

TEST(RetentionVerdict, LongFractionIsAgedNotRejected) {
    EXPECT_EQ(verdict(stamped("2024-01-02T12:00:00." + std::string(100000, '9') + "+0000")),
              EntryVerdict::kKeep);
}

}  // namespace
