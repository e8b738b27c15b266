// The retention job's verdict on one entry and its plan for a list, without a server.
#include <algorithm>
#include <cctype>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "jobs/chrondiff.h"
#include "jobs/timeregister.h"

namespace {

EntryJudgement judge(const std::string& entry, int valid_duration = 24) {
    return judge_entry(entry, parseISO8601("2024-01-02T12:00:00+0000"), valid_duration);
}
std::string event(const std::string& stamp_json) {
    return R"({"event_type":"alert","timestamp":)" + stamp_json + "}";
}

TEST(RetentionVerdict, WholeHoursEitherWayTruncatedWithTheOffsetHonoured) {
    const std::tuple<const char*, int, EntryVerdict> cases[] = {
        {"2024-01-01T11:00:01+0000", 24, EntryVerdict::kKeep},  // 24 h 59 min 59 s old
        {"2024-01-03T12:59:00+0000", 24, EntryVerdict::kKeep},  // 24 h 59 min ahead
        {"2024-01-01T11:00:00+0000", 24, EntryVerdict::kStale},
        {"2024-01-03T13:00:00+0000", 24, EntryVerdict::kStale},
        {"2024-01-01T12:00:00+0100", 24, EntryVerdict::kStale},  // 11:00 UTC
        {"2024-01-01T10:00:01-01:00", 24, EntryVerdict::kKeep},  // 11:00:01 UTC
        {"2024-01-02T11:00:00.001+0000", 0, EntryVerdict::kKeep},
        {"2024-01-02T11:00:00+0000", 0, EntryVerdict::kStale},
        {"2024-01-02T12:00:00+0000", -1, EntryVerdict::kStale},
    };
    for (const auto& [stamp, hours, verdict] : cases) {
        EXPECT_EQ(judge(event('"' + std::string(stamp) + '"'), hours).verdict, verdict) << stamp;
    }
    EXPECT_EQ(judge("[1]").reason, "the event is not a JSON object");
}

// A list written as letters, head first, each standing for a 1 KB text: upper case is kept, lower
// case dropped. The plan, carried out with the meaning of LTRIM and LREM (count 1 from the head,
// -1 from the tail), must leave the kept entries in order, copies of one text included.
TEST(RewritePlan, EveryPathLeavesExactlyTheKeptEntriesInOrder) {
    using P = RewritePlan::Path;
    const std::pair<P, std::vector<std::string>> cases[] = {
        {P::kNone, {"ABC"}},
        {P::kTrim, {"ABcc", "aaBC", "aBCd", "ccc"}},
        {P::kRemove, {"ABCDEfGHhh", "aAbBCDEFG", "XaYaZaa", "aXXaYYZ"}},
        {P::kPushBack, {"AbCdEfGhIjK"}},
    };
    for (const auto& [path, lists] : cases) {
        for (const std::string& letters : lists) {
            RewritePlanner planner;
            std::string kept;
            for (const char l : letters) {
                planner.add(std::string(1000, l), std::isupper(l) != 0);
                kept.append(std::isupper(l) != 0, l);
            }
            const long long n = static_cast<long long>(letters.size());
            const RewritePlan plan = planner.finish(n);
            EXPECT_EQ(plan.path, path) << letters;
            const long long stop = (plan.trim_stop + n) % n + 1;
            std::string left = letters.substr(0, stop).substr(std::min(plan.trim_start, stop));
            for (const auto& [count, text] : plan.removals) {
                const size_t at = count > 0 ? left.find(text[0]) : left.rfind(text[0]);
                ASSERT_NE(at, std::string::npos) << letters;
                left.erase(at, 1);
            }
            for (long long pos = 0; plan.path == P::kPushBack && pos < n; ++pos) {
                left.append(!planner.dropped(pos), letters[pos]);
            }
            EXPECT_EQ(left, kept) << letters;
        }
    }
}

}  // namespace
