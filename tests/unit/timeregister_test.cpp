// The retention job's plan for rewriting a list, without a server. (The window on one entry is the
// retention cases' and the timestamp tests'.)
#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "jobs/timeregister.h"

namespace {

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
