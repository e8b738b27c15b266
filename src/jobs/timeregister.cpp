// The retention job. A list is read under WATCH and rewritten in one MULTI/EXEC: whatever happens
// to this process or its connections, a list is left either whole or trimmed, never short of an
// entry that was to be kept.
//
// A run reads only what may have changed since the job last judged the list: the entries that
// arrived at its ends, and the stretches whose oldest or newest entry may have left the window. The
// job's memory of the list is checked against the list first, and a list the check cannot explain,
// or not read whole for an hour, is read whole. The rewrite touches only what changed: an LTRIM for
// what lies at the ends, an LREM for each of a few entries near them, or else the kept entries of
// one side pushed back, streamed into the transaction as they are read on a second connection.
#include "jobs/timeregister.h"

#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <iterator>
#include <libconfig.h++>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

#include "base/log.h"
#include "base/settings.h"
#include "base/signals.h"
#include "jobs/chrondiff.h"
#include "jobs/jsonfield.h"
#include "jobs/listmemory.h"
#include "jobs/rewriteplan.h"
#include "redis/lockkeeper.h"
#include "redis/redis.h"

namespace {

using Clock = std::chrono::steady_clock;

// Entries per LRANGE: long stretches are read in pieces, kPiecesAhead of them asked for at a time.
// The server runs the pieces asked for back to back, and a piece of 5,000 entries of 1 KB keeps it
// from other clients for some tens of milliseconds.
constexpr long long kRangePiece = 5000;
constexpr int kPiecesAhead = 2;
// Bounds of one push, so a long rewrite costs neither one command per entry nor one giant command.
constexpr size_t kPushEntries = 4096;
constexpr size_t kPushBytes = size_t{4} << 20;
// Times a list is started again after another client changed it under our watch.
constexpr int kRetries = 3;
// A remembered end text is sent with the check; a larger one is not looked for.
constexpr size_t kMaxFindBytes = size_t{1} << 20;

std::chrono::seconds full_read_interval{3600};

// Where a remembered end text stands: the first copy from the head (ARGV[2] 1) or the last from
// the tail (-1), and the ARGV[3] entries from there towards the middle; nil where there is none.
constexpr const char* kFindEnd = R"lua(
local p = redis.call('LPOS', KEYS[1], ARGV[1], 'RANK', ARGV[2])
if not p then return false end
local k = tonumber(ARGV[3])
if ARGV[2] == '1' then return {p, redis.call('LRANGE', KEYS[1], p, p + k - 1)} end
return {p, redis.call('LRANGE', KEYS[1], math.max(0, p - k + 1), p)}
)lua";

// Trims and removes in one step, only while the list's length and ends are those read: the write
// a server at maxmemory accepts, where it refuses every command inside MULTI. Trimming and
// removing need no memory. Returns the list's new length and ends; nil when it changed.
constexpr const char* kTrimIfUnchanged = R"lua(
local key = KEYS[1]
if redis.call('LLEN', key) ~= tonumber(ARGV[1]) or redis.call('LINDEX', key, 0) ~= ARGV[2]
    or redis.call('LINDEX', key, -1) ~= ARGV[3] then return false end
redis.call('LTRIM', key, ARGV[4], ARGV[5])
for i = 6, #ARGV, 2 do redis.call('LREM', key, ARGV[i], ARGV[i + 1]) end
return {redis.call('LLEN', key), redis.call('LINDEX', key, 0), redis.call('LINDEX', key, -1)}
)lua";

// A watch left behind would abort the EXEC of the next list, so every path that leaves a list
// without EXEC or DISCARD ends it. A failed connection has no watch left to end.
void unwatch(redisContext* c) {
    if (!redis_failed(c)) {
        (void)redis_command(c, "UNWATCH");
    }
}

// The order a run reads a list in, from its head or from its tail; positions count in it.
struct Order {
    bool backward = false;
    long long n = 0;
    Order reversed() const { return {!backward, n}; }
    long long flip(long long pos) const { return n - 1 - pos; }
    // The list indices of the positions [first, end), head first.
    std::pair<long long, long long> indices(long long first, long long end) const {
        return backward ? std::make_pair(n - end, n - 1 - first) : std::make_pair(first, end - 1);
    }
};

// The elements of an LRANGE piece in reading order.
std::string_view element(const redisReply* piece, const Order& o, size_t i) {
    const redisReply* e = piece->element[o.backward ? piece->elements - 1 - i : i];
    return reply_text(e);
}

// Reads the positions [from, to) in LRANGE pieces, kPiecesAhead asked for at a time, so the server
// prepares the next piece while this one is examined and never builds a long reply at once.
class PieceReader {
  public:
    PieceReader(redisContext* c, const std::string& key, const Order& o, long long from,
                long long to)
        : c_(c), key_(key), order_(o), asked_(from), next_(from), to_(to) {
        for (int i = 0; i < kPiecesAhead; ++i) {
            ask();
        }
    }
    PieceReader(const PieceReader&) = delete;
    PieceReader& operator=(const PieceReader&) = delete;
    ~PieceReader() { drain(); }

    // The next piece and its first position; null at the end. Throws when LRANGE gets no reply or
    // a reply of another kind.
    RedisReply next(long long& first) {
        if (next_ >= to_) {
            return nullptr;
        }
        RedisReply piece = redis_next_reply(c_);
        --due_;
        if (!piece) {
            throw std::runtime_error("Redis error: failed to execute LRANGE");
        }
        first = next_;
        next_ = std::min(next_ + kRangePiece, to_);
        ask();
        if (piece->type != REDIS_REPLY_ARRAY) {
            drain();
            throw std::runtime_error("Redis LRANGE did not return an array");
        }
        return piece;
    }
    long long end_of(long long first) const { return std::min(first + kRangePiece, to_); }

    // Reads and drops the replies still due, so the connection can be used again.
    void drain() {
        for (; due_ > 0 && !redis_failed(c_); --due_) {
            (void)redis_next_reply(c_);
        }
        next_ = to_;
    }

  private:
    void ask() {
        if (asked_ < to_) {
            const long long end = std::min(asked_ + kRangePiece, to_);
            const auto [first, last] = order_.indices(asked_, end);
            redis_append(c_, "LRANGE %b %lld %lld", key_.data(), key_.size(), first, last);
            asked_ = end;
            ++due_;
        }
    }

    redisContext* c_;
    const std::string& key_;
    Order order_;
    long long asked_;
    long long next_;
    long long to_;
    int due_ = 0;
};

enum class Outcome { kDone, kChanged, kRefused, kStopped, kNoReply };

// Whether reading goes on with a piece that should hold `count` entries: not after a stop request,
// nor when the list has become shorter than it was when looked at.
Outcome piece_outcome(const redisReply* piece, long long count) {
    if (stop_requested) {
        return Outcome::kStopped;
    }
    return static_cast<long long>(piece->elements) != count ? Outcome::kChanged : Outcome::kDone;
}

// LTRIM's indices for the list indices [first, last]; an empty range keeps nothing.
std::pair<long long, long long> ltrim_range(std::pair<long long, long long> range) {
    return range.first <= range.second ? range : std::make_pair(1LL, 0LL);
}

// One transaction on the watching connection, sent as a pipeline: MULTI, the lock's bracket, the
// writes, the list's new length and ends, EXEC. Pushes go out as they fill, and at the latest when
// the piece their texts point into is done with (flush), so the daemon holds one piece at a time.
class Transaction {
  public:
    Transaction(redisContext* c, const std::string& key)
        : c_(c), key_(key), bracket_(lock_bracket()) {
        redis_append(c_, "MULTI");
        if (!bracket_.empty()) {
            queue(redis_append_argv(c_, bracket_.hold));
        }
    }
    void trim(std::pair<long long, long long> range) {
        range = ltrim_range(range);
        queue(redis_append(c_, "LTRIM %b %lld %lld", key_.data(), key_.size(), range.first,
                           range.second));
    }
    void remove(int count, std::string_view text) {
        queue(redis_append(c_, "LREM %b %d %b", key_.data(), key_.size(), count, text.data(),
                           text.size()));
    }
    // Pushes at the list's tail (RPUSH) or head (LPUSH); each argument ends beyond the one before.
    void push(bool at_tail, std::string_view entry) {
        if (args_.empty()) {
            args_ = {at_tail ? "RPUSH" : "LPUSH", key_};
        }
        args_.push_back(entry);
        bytes_ += entry.size();
        if (args_.size() - 2 >= kPushEntries || bytes_ >= kPushBytes) {
            flush();
        }
    }
    void flush() {
        if (!args_.empty()) {
            queue(redis_append_argv(c_, args_) && redis_flush(c_));
            args_.clear();
            bytes_ = 0;
            keep_lock_alive();
        }
    }
    // EXEC. Where it took place, `after` holds the list's new length and ends.
    Outcome commit(RedisReply& after, std::string& error) {
        flush();
        if (!bracket_.empty()) {
            queue(redis_append_argv(c_, bracket_.refresh));
        }
        for (const char* cmd : {"LLEN %b", "LINDEX %b 0", "LINDEX %b -1"}) {
            queue(redis_append(c_, cmd, key_.data(), key_.size()));
        }
        RedisReply answer = failed_ ? nullptr : redis_exec(c_, queued_);
        if (!answer) {
            return Outcome::kNoReply;
        }
        if (answer->type == REDIS_REPLY_NIL) {
            return Outcome::kChanged;
        }
        if (answer->type != REDIS_REPLY_ARRAY || answer->elements != queued_) {
            error = reply_text(answer.get());
            return Outcome::kRefused;
        }
        if (!bracket_.empty()) {
            lock_refresh_answered(answer->element[queued_ - 4]);
        }
        after = std::move(answer);
        return Outcome::kDone;
    }
    void discard() {
        if (!failed_) {
            args_.clear();
            (void)redis_discard(c_, queued_);
        }
    }

  private:
    void queue(bool sent) {
        failed_ = failed_ || !sent;
        ++queued_;
    }

    redisContext* c_;
    const std::string& key_;
    const LockBracket bracket_;
    std::vector<std::string_view> args_;
    size_t bytes_ = 0;
    size_t queued_ = 0;
    bool failed_ = false;
};

// A part of the list and what the job knows of it.
struct Segment {
    long long first = 0;  // list indices [first, end)
    long long end = 0;
    StretchVerdict kind = StretchVerdict::kMixed;  // kMixed: read and judged
    long long remembered = 0;                      // kKept: the memory's index of `first`
    long long bytes = 0;                           // kKept
    std::vector<Stretch> parts;                    // kKept: its stretches
};

// Entries to read and judge.
Segment to_read(long long first, long long end) {
    Segment s;
    s.first = first;
    s.end = end;
    return s;
}

void add_segment(std::vector<Segment>& out, Segment s) {
    if (s.first >= s.end) {
        return;
    }
    if (!out.empty() && out.back().kind == s.kind && out.back().end == s.first) {
        Segment& last = out.back();
        last.end = s.end;
        last.bytes += s.bytes;
        last.parts.insert(last.parts.end(), s.parts.begin(), s.parts.end());
    } else {
        out.push_back(std::move(s));
    }
}

// The parts of a list of n entries laid out as `layout` shows, head first: the arrivals, to read,
// and the remembered entries left, stretch by stretch, judged by their instants.
std::vector<Segment> segments(const ListMemory& memory, const Layout& layout, long long n,
                              std::int64_t now, int valid_duration) {
    std::vector<Segment> out;
    add_segment(out, to_read(0, layout.arrived_head));
    const long long keep_from = layout.taken_head;
    const long long keep_to = memory.length() - layout.taken_tail;
    const long long shift = layout.arrived_head - layout.taken_head;
    long long at = 0;
    for (const Stretch& s : memory.stretches) {
        const long long first = std::max(at, keep_from);
        const long long end = std::min(at + s.count, keep_to);
        if (first < end) {
            Stretch part = s;
            part.count = end - first;
            part.bytes = s.bytes * part.count / s.count;
            const StretchVerdict kind = judge_stretch(s, now, valid_duration);
            Segment seg{first + shift, end + shift, kind, first, part.bytes, {}};
            if (kind == StretchVerdict::kKept) {
                seg.parts = {part};
            }
            add_segment(out, std::move(seg));
        }
        at += s.count;
    }
    add_segment(out, to_read(n - layout.arrived_tail, n));
    return out;
}

// The lines a run owes for the entries it dropped as unreadable, run-length coded: an attempt's
// lines are logged once it is the last, so a list read again after another client changed it
// logs each entry once.
class EntryLines {
  public:
    void note(const EntryJudgement& j) {
        if (j.verdict != EntryVerdict::kNotJson && j.verdict != EntryVerdict::kInvalidTimestamp) {
            return;
        }
        std::string reason = j.verdict == EntryVerdict::kNotJson ? std::string() : j.reason;
        if (runs_.empty() || runs_.back().json != (j.verdict == EntryVerdict::kNotJson) ||
            runs_.back().reason != reason) {
            runs_.push_back({j.verdict == EntryVerdict::kNotJson, std::move(reason), 0});
        }
        ++runs_.back().count;
    }
    void log(const std::string& key) const {
        for (const Run& r : runs_) {
            for (long long i = 0; i < r.count; ++i) {
                if (r.json) {
                    log_msg(LOG_ALERT, "timeregister: JSON parse error for key %s", key.c_str());
                } else {
                    log_msg(LOG_ALERT, "timeregister: invalid timestamp for key %s: %s",
                            key.c_str(), r.reason.c_str());
                }
            }
        }
    }

  private:
    struct Run {
        bool json;
        std::string reason;
        long long count;
    };
    std::vector<Run> runs_;
};

// The two connections of a run: `watch` watches the list and carries its transaction; `read`
// reads the entries, also while a transaction stands open on `watch`.
struct Connections {
    redisContext* watch;
    redisContext* read;
};

// One attempt at one list: look, read what may have changed, judge, plan, write.
class ListRun {
  public:
    ListRun(Connections c, const std::string& key, std::int64_t now, int valid_duration,
            bool may_push)
        : c_(c),
          key_(key),
          now_(now),
          valid_duration_(valid_duration),
          may_push_(may_push),
          planner_(may_push) {}

    // `memory` is null where the list is to be read whole. On kDone, `result` is the memory of the
    // list as the attempt left it (empty when the list is gone); `error` holds a refusal's text.
    Outcome run(const ListMemory* memory, ListMemory& result, std::string& error);
    const EntryLines& lines() const { return lines_; }
    bool complete() const { return complete_; }

  private:
    bool look(const ListMemory* memory);
    Outcome pass();
    Outcome judge(long long from, long long to);
    Outcome stream(const Order& o, long long from, long long to);
    std::vector<const Segment*> in_order(const Order& o) const;
    void push_kept(const redisReply* piece, const Order& o, long long first, long long from,
                   long long end);
    Outcome write(const RewritePlan& plan, RedisReply& after, std::string& error);
    Outcome trim_if_unchanged(const RewritePlan& plan, RedisReply& after, std::string& error);
    bool far_end_rewrites() const;
    int lrem_count(bool from_near) const { return from_near != order_.backward ? 1 : -1; }
    // A segment's positions in order `o`.
    std::pair<long long, long long> positions(const Segment& s, const Order& o) const {
        return o.backward ? std::make_pair(o.n - s.end, o.n - s.first)
                          : std::make_pair(s.first, s.end);
    }

    Connections c_;
    const std::string& key_;
    std::int64_t now_;
    int valid_duration_;
    bool may_push_;
    bool complete_ = true;
    Order order_;
    const ListMemory* memory_ = nullptr;
    std::vector<Segment> segments_;
    RedisReply ends_[2];      // the entries at the head and at the tail when looked at
    bool far_first_ = false;  // the far side's rewrite is never the dearer one: stream it at once
    RewritePlanner planner_;
    MemoryBuilder builder_;
    EntryLines lines_;
    std::optional<Transaction> tx_;  // the write; a far side's rewrite opens it during the pass
};

std::vector<EntryHash> hashes_of(const redisReply* r) {
    std::vector<EntryHash> out;
    for (size_t i = 0; is_array(r) && i < r->elements; ++i) {
        out.push_back(text_hash(reply_text(r->element[i])));
    }
    return out;
}

// Where a remembered end text stands, from kFindEnd's answer: its position and the hashes of the
// entries there.
long long found_at(const redisReply* r, std::vector<EntryHash>& window) {
    if (!is_array(r) || r->elements != 2 || !is_integer(r->element[0])) {
        return -1;
    }
    window = hashes_of(r->element[1]);
    return r->element[0]->integer;
}

// Watches the list and looks at it in one round trip: its length and ends and, given a memory,
// where the remembered ends stand. Lays the list out in segments. Throws as LLEN does.
bool ListRun::look(const ListMemory* memory) {
    const std::string k = std::to_string(kCheckWindow);
    redis_append(c_.watch, "WATCH %b", key_.data(), key_.size());
    redis_append(c_.watch, "LLEN %b", key_.data(), key_.size());
    redis_append(c_.watch, "LRANGE %b 0 %lld", key_.data(), key_.size(), kCheckWindow - 1);
    redis_append(c_.watch, "LRANGE %b -%lld -1", key_.data(), key_.size(), kCheckWindow);
    const bool find = memory != nullptr && memory->head.size() <= kMaxFindBytes &&
                      memory->tail.size() <= kMaxFindBytes;
    if (find) {
        using Args = std::vector<std::string_view>;
        redis_append_argv(c_.watch, Args{"EVAL", kFindEnd, "1", key_, memory->head, "1", k});
        redis_append_argv(c_.watch, Args{"EVAL", kFindEnd, "1", key_, memory->tail, "-1", k});
    }
    RedisReply replies[6];
    const int count = find ? 6 : 4;
    for (int i = 0; i < count; ++i) {
        replies[i] = redis_next_reply(c_.watch);
    }
    if (!replies[1]) {
        throw std::runtime_error("Redis error: failed to execute LLEN");
    }
    if (!is_integer(replies[1].get())) {
        unwatch(c_.watch);
        throw std::runtime_error("Redis LLEN did not return an integer");
    }
    const long long n = replies[1]->integer;
    order_ = {false, n};
    ends_[0] = std::move(replies[2]);
    ends_[1] = std::move(replies[3]);
    if (!is_array(ends_[0].get()) || !is_array(ends_[1].get()) || ends_[0]->elements == 0) {
        return false;  // emptied or replaced since EXISTS: try again
    }
    std::optional<Layout> layout;
    if (find) {
        ListEnds seen;
        seen.length = n;
        seen.head = hashes_of(ends_[0].get());
        seen.tail = hashes_of(ends_[1].get());
        seen.head_at = found_at(replies[4].get(), seen.from_head_at);
        seen.tail_at = found_at(replies[5].get(), seen.to_tail_at);
        layout = locate(*memory, seen);
    }
    if (!layout) {
        memory_ = nullptr;
        segments_ = {to_read(0, n)};
        far_first_ = far_end_rewrites();
        return true;
    }
    memory_ = memory;
    segments_ = segments(*memory, *layout, n, now_, valid_duration_);
    // Read from the end farther from what may be dropped, so that a side to rewrite is the far
    // one, which can be streamed while it is read.
    long long near_head = n;
    long long near_tail = n;
    for (const Segment& s : segments_) {
        const bool remembered =
            s.first >= layout->arrived_head && s.end <= n - layout->arrived_tail;
        if (remembered && s.kind != StretchVerdict::kKept) {
            near_head = std::min(near_head, s.first);
            near_tail = std::min(near_tail, n - s.end);
        }
    }
    order_.backward = near_head < near_tail;
    far_first_ = far_end_rewrites();
    return true;
}

// Whether the entries at the far end show a dropped entry with a kept one beyond it. A rewrite of
// the near side would then reach almost to the far end, so it never costs less than the far side's,
// and the far side can be streamed as soon as a rewrite is certain, in the one pass: a list stale
// throughout is read once, not once to judge and again to push.
bool ListRun::far_end_rewrites() const {
    const redisReply* window = ends_[order_.backward ? 0 : 1].get();
    bool dropped = false;
    for (size_t i = 0; i < window->elements; ++i) {
        const redisReply* e = window->element[order_.backward ? window->elements - 1 - i : i];
        const bool keep =
            judge_entry(reply_text(e), now_, valid_duration_).verdict == EntryVerdict::kKeep;
        if (keep && dropped) {
            return true;
        }
        dropped = dropped || !keep;
    }
    return false;
}

Outcome ListRun::run(const ListMemory* memory, ListMemory& result, std::string& error) {
    if (!look(memory)) {
        unwatch(c_.watch);
        return Outcome::kChanged;
    }
    Outcome outcome = pass();
    if (outcome != Outcome::kDone) {
        if (tx_) {
            tx_->discard();
        } else {
            unwatch(c_.watch);
        }
        return outcome;
    }
    const RewritePlan plan = planner_.finish();
    complete_ = plan.complete;
    RedisReply after;
    outcome = may_push_ ? write(plan, after, error) : trim_if_unchanged(plan, after, error);
    if (outcome != Outcome::kDone) {
        return outcome;
    }
    const redisReply* const* e = after->element + after->elements - 3;
    result = builder_.finish(order_.backward);
    if (!is_integer(e[0]) || e[0]->integer != result.length()) {
        result = {};  // not what the run read and wrote: better read it whole next time
        return Outcome::kDone;
    }
    result.head = reply_text(e[1]);
    result.tail = reply_text(e[2]);
    result.read_whole = memory_ != nullptr ? memory_->read_whole : Clock::now();
    return Outcome::kDone;
}

// Reads and judges what may have changed, in reading order; streams the far side's rewrite once
// it is certain.
Outcome ListRun::pass() {
    for (const Segment* s : in_order(order_)) {
        const auto [from, to] = positions(*s, order_);
        Outcome outcome = Outcome::kDone;
        switch (s->kind) {
            case StretchVerdict::kStale:
                planner_.add_dropped(to - from);
                break;
            case StretchVerdict::kKept:
                planner_.add_kept(to - from, s->bytes);
                builder_.add_remembered(*memory_, s->remembered, s->remembered + to - from,
                                        s->parts, order_.backward);
                if (tx_) {
                    outcome = stream(order_, from, to);
                }
                break;
            case StretchVerdict::kMixed:
                outcome = judge(from, to);
                break;
        }
        if (outcome != Outcome::kDone) {
            return outcome;
        }
    }
    return Outcome::kDone;
}

Outcome ListRun::judge(long long from, long long to) {
    std::optional<PieceReader> reader(std::in_place, c_.read, key_, order_, from, to);
    long long first = 0;
    while (RedisReply piece = reader->next(first)) {
        const long long end = reader->end_of(first);
        if (const Outcome outcome = piece_outcome(piece.get(), end - first);
            outcome != Outcome::kDone) {
            return outcome;
        }
        for (long long pos = first; pos < end; ++pos) {
            const std::string_view entry = element(piece.get(), order_, pos - first);
            const EntryJudgement j = judge_entry(entry, now_, valid_duration_);
            lines_.note(j);
            const bool keep = j.verdict == EntryVerdict::kKeep;
            planner_.add(entry, keep);
            if (keep) {
                builder_.add(text_hash(entry), j.instant, static_cast<long long>(entry.size()));
            }
        }
        keep_lock_alive();
        long long push_from = first;
        if (!tx_ && may_push_ && planner_.rewrites() &&
            (far_first_ || planner_.first_split() >= order_.n / 2)) {
            // The far side is to be rewritten: from here on its kept entries are streamed into
            // the transaction as they are read, those of earlier pieces read again first.
            const long long split = planner_.first_split();
            planner_.commit_far();
            tx_.emplace(c_.watch, key_);
            tx_->trim(order_.indices(planner_.first_kept(), split));
            if (split < first) {
                reader.reset();
                const Outcome outcome = stream(order_, split, first);
                if (outcome != Outcome::kDone) {
                    return outcome;
                }
                reader.emplace(c_.read, key_, order_, end, to);
            }
            push_from = std::max(first, split);
        }
        if (tx_) {
            push_kept(piece.get(), order_, first, push_from, end);
        }
    }
    return Outcome::kDone;
}

// The segments in order `o`.
std::vector<const Segment*> ListRun::in_order(const Order& o) const {
    std::vector<const Segment*> out;
    for (const Segment& s : segments_) {
        out.push_back(&s);
    }
    if (o.backward) {
        std::reverse(out.begin(), out.end());
    }
    return out;
}

// Pushes the kept entries of positions [from, end) of order `o`, which `piece` holds from `first`
// on, at o's far end; then lets the piece go.
void ListRun::push_kept(const redisReply* piece, const Order& o, long long first, long long from,
                        long long end) {
    const bool same = o.backward == order_.backward;
    for (long long pos = from; pos < end; ++pos) {
        if (!planner_.dropped(same ? pos : o.flip(pos))) {
            tx_->push(!o.backward, element(piece, o, pos - first));
        }
    }
    tx_->flush();
}

// Pushes the kept entries of positions [from, to) of order `o` at o's far end, reading them in
// that order; entries known stale are not read.
Outcome ListRun::stream(const Order& o, long long from, long long to) {
    for (const Segment* s : in_order(o)) {
        const auto [seg_from, seg_to] = positions(*s, o);
        const long long a = std::max(from, seg_from);
        const long long b = std::min(to, seg_to);
        if (a >= b || s->kind == StretchVerdict::kStale) {
            continue;
        }
        PieceReader reader(c_.read, key_, o, a, b);
        long long first = 0;
        while (RedisReply piece = reader.next(first)) {
            const long long end = reader.end_of(first);
            if (const Outcome outcome = piece_outcome(piece.get(), end - first);
                outcome != Outcome::kDone) {
                return outcome;
            }
            push_kept(piece.get(), o, first, first, end);
        }
    }
    return Outcome::kDone;
}

Outcome ListRun::write(const RewritePlan& plan, RedisReply& after, std::string& error) {
    if (plan.path == RewritePlan::Path::kRewrite && !tx_) {
        // The side found only at the end is read again, in the order that pushes it back.
        const Order o = plan.far ? order_ : order_.reversed();
        tx_.emplace(c_.watch, key_);
        if (plan.far) {
            tx_->trim(order_.indices(plan.keep_first, plan.split));
        } else {
            tx_->trim(order_.indices(plan.split, plan.keep_end));
        }
        const Outcome outcome =
            plan.far ? stream(o, plan.split, plan.keep_end)
                     : stream(o, o.flip(plan.split - 1), o.flip(plan.keep_first) + 1);
        if (outcome != Outcome::kDone) {
            tx_->discard();
            return outcome;
        }
    }
    if (!tx_) {
        tx_.emplace(c_.watch, key_);
        if (plan.path != RewritePlan::Path::kNone) {
            tx_->trim(order_.indices(plan.keep_first, plan.keep_end));
        }
        for (const auto& [from_near, text] : plan.removals) {
            tx_->remove(lrem_count(from_near), text);
        }
    }
    return tx_->commit(after, error);
}

Outcome ListRun::trim_if_unchanged(const RewritePlan& plan, RedisReply& after, std::string& error) {
    const auto range = plan.path == RewritePlan::Path::kNone
                           ? std::make_pair(0LL, -1LL)
                           : ltrim_range(order_.indices(plan.keep_first, plan.keep_end));
    const std::string n = std::to_string(order_.n);
    const std::string start = std::to_string(range.first);
    const std::string stop = std::to_string(range.second);
    std::vector<std::string> counts;
    for (const auto& removal : plan.removals) {
        counts.push_back(std::to_string(lrem_count(removal.first)));
    }
    std::vector<std::string_view> argv = {"EVAL",
                                          kTrimIfUnchanged,
                                          "1",
                                          key_,
                                          n,
                                          reply_text(ends_[0]->element[0]),
                                          reply_text(ends_[1]->element[ends_[1]->elements - 1]),
                                          start,
                                          stop};
    for (size_t i = 0; i < plan.removals.size(); ++i) {
        argv.insert(argv.end(), {counts[i], plan.removals[i].second});
    }
    redis_append_argv(c_.watch, argv);
    after = redis_next_reply(c_.watch);
    unwatch(c_.watch);
    if (!after) {
        return Outcome::kNoReply;
    }
    if (after->type == REDIS_REPLY_NIL) {
        return Outcome::kChanged;
    }
    if (!is_array(after.get()) || after->elements != 3) {
        error = reply_text(after.get());
        return Outcome::kRefused;
    }
    return Outcome::kDone;
}

// Ages one list, starting again when another client changed it meanwhile. Returns false when the
// run must end: a stop was requested, or a write got no reply.
bool trim_list(Connections c, const std::string& key, std::int64_t now, int valid_duration) {
    bool may_push = true;
    std::string refusal;
    for (int attempt = 0;; ++attempt) {
        if (!checkKeyExists(c.watch, key)) {
            forget(key);
            return true;
        }
        ListRun run(c, key, now, valid_duration, may_push);
        ListMemory result;
        std::string error;
        switch (run.run(recall(key, full_read_interval), result, error)) {
            case Outcome::kDone:
                run.lines().log(key);
                if (!run.complete()) {
                    log_msg(LOG_WARNING, "timeregister: couldn't rewrite %s: %s; trimmed only",
                            key.c_str(), refusal.c_str());
                }
                remember(key, may_push ? std::move(result) : ListMemory());
                return true;
            case Outcome::kStopped:
                return false;
            case Outcome::kNoReply:
                forget(key);
                log_msg(LOG_ALERT, "timeregister: failed to push filtered items back. uid=%d",
                        static_cast<int>(getuid()));
                return false;
            case Outcome::kRefused:
                if (may_push) {
                    // Inside MULTI a server at maxmemory refuses every command: what needs no
                    // memory is done without one.
                    may_push = false;
                    refusal = error;
                    --attempt;
                    break;
                }
                forget(key);
                log_msg(LOG_ALERT, "timeregister: couldn't trim %s: %s", key.c_str(),
                        error.c_str());
                return true;
            case Outcome::kChanged:
                if (attempt == kRetries) {
                    log_msg(LOG_WARNING, "timeregister: %s kept changing, left for the next run",
                            key.c_str());
                    return true;
                }
                break;
        }
    }
}

RedisContext connect_or_throw() {
    RedisContext ctx = redis_connect();
    if (!ctx) {
        log_msg(LOG_ALERT, "timeregister: cannot allocate Redis context");
        throw std::runtime_error("Cannot allocate Redis context");
    }
    if (redis_failed(ctx.get())) {
        log_msg(LOG_ALERT, "timeregister: Redis connection error: %s", redis_error(ctx.get()));
        throw std::runtime_error(std::string("Redis connection error: ") + redis_error(ctx.get()));
    }
    return ctx;
}

}  // namespace

void set_full_read_interval(std::chrono::seconds interval) {
    full_read_interval = interval;
}

EntryJudgement judge_entry(std::string_view entry, std::int64_t now, int valid_duration) {
    const JsonField stamp = member_as_string(entry, "timestamp");
    switch (stamp.status) {
        case FieldStatus::kText:
            break;
        case FieldStatus::kNotJson:
            return {EntryVerdict::kNotJson, {}, 0};
        case FieldStatus::kNotObject:
            return {EntryVerdict::kInvalidTimestamp, "the event is not a JSON object", 0};
        case FieldStatus::kNotScalar:
            return {EntryVerdict::kInvalidTimestamp, "the timestamp is an object or an array", 0};
    }
    try {
        const std::int64_t instant = parseISO8601(stamp.text);
        return {within_window(instant, now, valid_duration) ? EntryVerdict::kKeep
                                                            : EntryVerdict::kStale,
                {},
                instant};
    } catch (const std::exception& e) {
        return {EntryVerdict::kInvalidTimestamp, e.what(), 0};
    }
}

bool checkKeyExists(redisContext* c, const std::string& key) {
    if (c == nullptr) {
        log_msg(LOG_ALERT, "Redis connection error: %s", "context is null");
        return false;
    }
    if (redis_failed(c)) {
        log_msg(LOG_ALERT, "Redis connection error: %s", redis_error(c));
        return false;
    }
    const RedisReply reply = redis_command(c, "EXISTS %b", key.data(), key.size());
    if (!reply) {
        log_msg(LOG_ALERT, "Redis error: EXISTS command failed for key %s", key.c_str());
        return false;
    }
    if (reply->type != REDIS_REPLY_INTEGER) {
        log_msg(LOG_ALERT, "Unexpected reply type (%d) for EXISTS command", reply->type);
        return false;
    }
    return reply->integer > 0;
}

int timeregister() {
    const JobLog log;  // closed on every way out, the settings library's exceptions included
    // The present, in whole seconds, taken once per run before the settings are read.
    const std::int64_t now = std::int64_t{std::time(nullptr)} * 1000000000;
    libconfig::Config cfg;
    if (!read_settings_file(cfg, [] {
            log_msg(LOG_ALERT, "timeregister: I/O error while reading config file. uid=%d",
                    static_cast<int>(getuid()));
        })) {
        return 1;
    }
    const libconfig::Setting& settings = settings_group(cfg);
    const libconfig::Setting& keys = settings["keys"];
    const int valid_duration = settings.lookup("valid_duration");

    const RedisContext watch = connect_or_throw();
    const RedisContext read = connect_or_throw();
    std::vector<std::string> named;
    for (int i = 0; i < keys.getLength(); ++i) {
        keep_lock_alive();
        named.push_back(keys[i]);
        if (stop_requested ||
            !trim_list({watch.get(), read.get()}, named.back(), now, valid_duration)) {
            return 0;
        }
    }
    forget_others(named);  // lists no longer aged
    return 0;
}
