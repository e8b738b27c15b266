// The retention job's plan for rewriting a list, and its check of a list against its memory,
// without a server. (The window on one entry is the retention cases' and the timestamp tests'.)
#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "jobs/listmemory.h"
#include "jobs/rewriteplan.h"

namespace {

// A list written as letters, head first, each standing for a 1 KB text: upper case is kept, lower
// case dropped; a digit d stands for d kept entries known without reading. The plan, carried out
// with the meaning of LTRIM, LREM (from the near end, the head here, or the far end) and the
// push-back of one side, must leave the kept entries in order, copies of one text included.
TEST(RewritePlan, EveryPathLeavesExactlyTheKeptEntriesInOrder) {
    using P = RewritePlan::Path;
    const std::pair<P, std::vector<std::string>> cases[] = {
        {P::kNone, {"ABC", "A9B"}},
        {P::kTrim, {"ABcc", "aaBC", "aBCd", "ccc", "a9b"}},
        {P::kRemove, {"ABCDEfGHhh", "aXXaYYZ", "A9b9C"}},
        {P::kRewrite,
         {"AbCdEfGhIjK", "A9999bCdEfGhIjK", "AbCdEfGhIjK9999", "xX9YyYy", "aAbBCDEFG", "XaYaZaa"}},
    };
    for (const auto& [path, lists] : cases) {
        for (const std::string& letters : lists) {
            RewritePlanner planner;
            std::string list;  // with the digits spelled out as '#'
            for (const char l : letters) {
                if (std::isdigit(l) != 0) {
                    planner.add_kept(l - '0', 1000LL * (l - '0'));
                    list.append(l - '0', '#');
                } else {
                    planner.add(std::string(1000, l), std::isupper(l) != 0);
                    list += l;
                }
            }
            std::string kept;
            std::copy_if(list.begin(), list.end(), std::back_inserter(kept),
                         [](char l) { return std::islower(l) == 0; });
            const RewritePlan plan = planner.finish();
            EXPECT_EQ(plan.path, path) << letters;
            std::string left = plan.path == P::kNone
                                   ? list
                                   : list.substr(0, plan.keep_end).substr(plan.keep_first);
            if (plan.path == P::kRewrite) {
                const long long first = plan.far ? plan.split : plan.keep_first;
                const long long end = plan.far ? plan.keep_end : plan.split;
                left = plan.far ? list.substr(plan.keep_first, plan.split - plan.keep_first)
                                : list.substr(plan.split, plan.keep_end - plan.split);
                std::string pushed;
                for (long long pos = first; pos < end; ++pos) {
                    pushed.append(!planner.dropped(pos), list[pos]);
                }
                left = plan.far ? left + pushed : pushed + left;
            }
            for (const auto& [from_near, text] : plan.removals) {
                const size_t at = from_near ? left.find(text[0]) : left.rfind(text[0]);
                ASSERT_NE(at, std::string::npos) << letters;
                left.erase(at, 1);
            }
            EXPECT_EQ(left, kept) << letters;
        }
    }
}

// A remembered list of 100 entries, changed at its ends as a producer, a consumer or another
// daemon would, and the layout the check must find, or none where it cannot tell.
TEST(ListMemory, TheCheckFindsWhatChangedAtTheEndsOrCannotTell) {
    struct Case {
        const char* what;
        long long arrived_head, taken_head, taken_tail, arrived_tail;
        bool replaced;  // the whole list, same length
        bool tellable;
    };
    const Case cases[] = {
        {"unchanged", 0, 0, 0, 0, false, true},
        {"grown at the head", 30, 0, 0, 0, false, true},
        {"grown at both ends", 5, 0, 0, 1, false, true},
        {"popped at the head", 0, 3, 0, 0, false, true},
        {"trimmed at the tail", 0, 0, 40, 0, false, true},
        {"grown at the head, trimmed at the tail", 1000, 0, 70, 0, false, true},
        {"popped and grown at the head", 2, 2, 0, 0, false, false},
        {"replaced by another list of the same length", 0, 0, 0, 0, true, false},
        {"almost all taken", 0, 50, 45, 0, false, false},
    };
    ListMemory memory;
    for (int i = 0; i < 100; ++i) {
        memory.hashes.push_back(text_hash("entry " + std::to_string(i)));
    }
    for (const Case& c : cases) {
        std::vector<std::string> list;
        for (long long i = 0; i < c.arrived_head; ++i) {
            list.push_back("new at the head " + std::to_string(i));
        }
        for (long long i = c.taken_head; i < 100 - c.taken_tail; ++i) {
            list.push_back((c.replaced ? "other " : "entry ") + std::to_string(i));
        }
        for (long long i = 0; i < c.arrived_tail; ++i) {
            list.push_back("new at the tail " + std::to_string(i));
        }
        // What the check reads: the ends, and where the remembered end texts stand.
        ListEnds ends;
        ends.length = static_cast<long long>(list.size());
        const auto hashes = [&](long long from, long long end) {
            std::vector<EntryHash> out;
            for (long long i = std::max(0LL, from); i < std::min(end, ends.length); ++i) {
                out.push_back(text_hash(list[i]));
            }
            return out;
        };
        ends.head = hashes(0, kCheckWindow);
        ends.tail = hashes(ends.length - kCheckWindow, ends.length);
        const auto first = std::find(list.begin(), list.end(), "entry 0");
        const auto last = std::find(list.rbegin(), list.rend(), "entry 99");
        if (first != list.end()) {
            ends.head_at = first - list.begin();
            ends.from_head_at = hashes(ends.head_at, ends.head_at + kCheckWindow);
        }
        if (last != list.rend()) {
            ends.tail_at = list.rend() - last - 1;
            ends.to_tail_at = hashes(ends.tail_at - kCheckWindow + 1, ends.tail_at + 1);
        }
        const std::optional<Layout> layout = locate(memory, ends);
        ASSERT_EQ(layout.has_value(), c.tellable) << c.what;
        if (layout) {
            EXPECT_EQ((std::vector<long long>{layout->arrived_head, layout->taken_head,
                                              layout->taken_tail, layout->arrived_tail}),
                      (std::vector<long long>{c.arrived_head, c.taken_head, c.taken_tail,
                                              c.arrived_tail}))
                << c.what;
        }
    }
}

}  // namespace
