// The retention job's plan for one list.
#include "jobs/rewriteplan.h"

#include <algorithm>
#include <iterator>

namespace {

// The texts held for LREMs, a memory bound: beyond it a side of the list is rewritten.
constexpr size_t kMaxRemovals = 1000;
constexpr size_t kMaxRemovalBytes = size_t{16} << 20;
// An LREM passing over one entry costs the server about what pushing back 100 to 150 bytes does
// (measured with 1 KB entries: 170-300 ns against 2 ns a byte).
constexpr long long kScanCost = 128;

}  // namespace

void RewritePlanner::note_kept(long long count, long long bytes) {
    const long long pos = next_;
    next_ += count;
    if (first_kept_ < 0) {
        first_kept_ = pos;
    }
    if (pending_drop_ >= 0) {
        // The dropped entries since the last kept one lie between kept ones.
        last_drop_ = pending_drop_;
        kept_before_last_ = kept_bytes_;
        pending_drop_ = -1;
        if (unheld_ >= 0 && !certain_) {
            certain_ = true;
            removals_ = {};
        }
    }
    last_kept_ = next_ - 1;
    kept_bytes_ += bytes;
}

void RewritePlanner::note_dropped(long long count, std::string_view text, bool held) {
    const long long first = next_;
    next_ += count;
    if (!runs_.empty() && runs_.back().second == first) {
        runs_.back().second += count;
    } else {
        runs_.emplace_back(first, first + count);
    }
    if (last_kept_ < 0) {
        return;  // before the first kept entry, the LTRIM takes it
    }
    if (first_drop_ < 0) {
        first_drop_ = first;
        kept_before_first_ = kept_bytes_;
    }
    pending_drop_ = first + count - 1;
    if (certain_) {
        return;
    }
    if (held && removals_.size() < kMaxRemovals &&
        removal_bytes_ + text.size() <= kMaxRemovalBytes) {
        removal_bytes_ += text.size();
        removals_.emplace_back(first, text);
    } else if (unheld_ < 0) {
        unheld_ = first;
    }
}

void RewritePlanner::add(std::string_view entry, bool keep_it) {
    if (keep_it) {
        note_kept(1, static_cast<long long>(entry.size()));
    } else {
        note_dropped(1, entry, true);
    }
}

void RewritePlanner::add_kept(long long count, long long bytes) {
    if (count > 0) {
        note_kept(count, bytes);
    }
}

void RewritePlanner::add_dropped(long long count) {
    if (count > 0) {
        note_dropped(count, {}, false);
    }
}

bool RewritePlanner::dropped(long long pos) const {
    const auto after = std::upper_bound(
        runs_.begin(), runs_.end(), pos,
        [](long long p, const std::pair<long long, long long>& run) { return p < run.first; });
    return after != runs_.begin() && pos < std::prev(after)->second;
}

RewritePlan RewritePlanner::finish() {
    RewritePlan plan;
    if (runs_.empty()) {
        return plan;
    }
    plan.path = RewritePlan::Path::kTrim;
    plan.keep_first = first_kept();
    plan.keep_end = last_kept_ + 1;
    if (last_drop_ < 0) {
        return plan;  // nothing dropped between kept entries
    }
    // The cheaper side to push back: after the first dropped entry, or before the last.
    const long long far_cost = kept_bytes_ - kept_before_first_;
    const long long near_cost = kept_before_last_;
    const auto rewrite = [&](bool far) {
        plan.path = RewritePlan::Path::kRewrite;
        plan.far = far;
        plan.split = far ? first_drop_ : last_drop_ + 1;
        plan.removals.clear();
        return plan;
    };
    if (far_committed_) {
        return rewrite(true);
    }
    if (certain_) {
        if (may_push_) {
            return rewrite(far_cost <= near_cost);
        }
        plan.complete = false;  // the rewrite waits until the server may push again
        return plan;
    }
    long long cost = 0;
    for (auto& [pos, text] : removals_) {
        if (pos >= plan.keep_end) {
            break;  // the LTRIM takes it
        }
        const long long from_near = pos - plan.keep_first;
        const long long from_far = last_kept_ - pos;
        cost += std::min(from_near, from_far) * kScanCost + static_cast<long long>(text.size());
        plan.removals.emplace_back(from_near <= from_far, std::move(text));
    }
    plan.path = RewritePlan::Path::kRemove;
    if (may_push_ && cost > std::min(far_cost, near_cost)) {
        return rewrite(far_cost <= near_cost);
    }
    return plan;
}
