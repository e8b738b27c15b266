// How the retention job rewrites one list, planned from the verdicts on its entries without a
// server. Positions count in the order the run reads the list, from the end it starts at (the
// near end) to the other (the far end).
#pragma once

#include <algorithm>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Every path leaves exactly the kept entries, in their order.
struct RewritePlan {
    enum class Path {
        kNone,     // nothing dropped: nothing is written
        kTrim,     // what is dropped lies at the ends: an LTRIM keeps [keep_first, keep_end)
        kRemove,   // that LTRIM, then one LREM per dropped entry between the ends
        kRewrite,  // that LTRIM narrowed to the side of `split` that holds no dropped entry; the
                   // kept entries of the other side are pushed back at its end
    };
    Path path = Path::kNone;
    long long keep_first = 0;
    long long keep_end = 0;
    // kRewrite: far, the LTRIM keeps [keep_first, split) and the kept entries of [split, keep_end)
    // go back at the far end; near, it keeps [split, keep_end) and those of [keep_first, split) go
    // back at the near end.
    bool far = true;
    long long split = 0;
    // LREM texts: true counts from the near end (the first copy met from there goes).
    std::vector<std::pair<bool, std::string>> removals;
    // False where dropped entries are left because only a rewrite could remove them, and the
    // planner was told it may not push.
    bool complete = true;
};

// Plans from the verdicts given in reading order: entries read (add), and runs of entries known
// without reading to be kept (add_kept) or dropped (add_dropped). It holds positions and the texts
// of at most a thousand dropped entries (16 MB), never a kept one.
//
// Within a run a verdict depends on the entry's text alone, so every copy of a dropped text is
// dropped: an LREM of such a text, from either end, removes a dropped copy, and one LREM per
// dropped copy between the ends removes them all. Where they are too many to hold, or their LREMs
// would cost more than pushing back the kept entries of one side, that side is rewritten: the one
// whose kept entries weigh less.
class RewritePlanner {
  public:
    // may_push false: the server refuses what needs memory, so the plan only trims and removes.
    explicit RewritePlanner(bool may_push = true) : may_push_(may_push) {}
    void add(std::string_view entry, bool keep);
    void add_kept(long long count, long long bytes);
    void add_dropped(long long count);
    // Whether a rewrite is certain already: a dropped entry between kept ones was not held.
    bool rewrites() const { return certain_; }
    // The first kept entry, and the first dropped entry after a kept one (-1: none yet).
    long long first_kept() const { return std::max(first_kept_, 0LL); }
    long long first_split() const { return first_drop_; }
    // The far side from first_split() is being rewritten already: the plan must be that one.
    void commit_far() { far_committed_ = true; }
    bool dropped(long long pos) const;
    // The plan; once only.
    RewritePlan finish();

  private:
    void note_dropped(long long count, std::string_view text, bool held);
    void note_kept(long long count, long long bytes);

    bool may_push_;
    bool certain_ = false;
    bool far_committed_ = false;
    long long next_ = 0;
    long long first_kept_ = -1;
    long long last_kept_ = -1;
    long long kept_bytes_ = 0;
    long long first_drop_ = -1;        // the first dropped entry after a kept one
    long long kept_before_first_ = 0;  // kept bytes before it
    long long pending_drop_ = -1;      // the last dropped entry since the last kept one
    long long last_drop_ = -1;         // the last dropped entry followed by a kept one
    long long kept_before_last_ = 0;   // kept bytes before it
    std::vector<std::pair<long long, long long>> runs_;  // the dropped entries, [first, end)
    // The dropped entries after the first kept one, up to a bound; where one was not held.
    std::vector<std::pair<long long, std::string>> removals_;
    size_t removal_bytes_ = 0;
    long long unheld_ = -1;
};
