// The retention job. Each list is read and rewritten under WATCH, and the rewrite is one
// MULTI/EXEC: whatever happens to this process or its connection, a list is left either whole or
// trimmed, never short of an entry that was to be kept. The list is judged piece by piece as it is
// read, and the rewrite touches only what changed where that costs less than pushing the kept
// entries back: an LTRIM for what lies at the ends, an LREM for each of a few entries near them.
#include "jobs/timeregister.h"

#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <functional>
#include <iterator>
#include <libconfig.h++>
#include <stdexcept>

#include "base/log.h"
#include "base/settings.h"
#include "jobs/chrondiff.h"
#include "jobs/jsonfield.h"
#include "redis/lockkeeper.h"
#include "redis/redis.h"

namespace {

// Entries per LRANGE: long lists are read in pieces, kPiecesAhead of them asked for at a time.
constexpr long long kRangePiece = 10000;
constexpr int kPiecesAhead = 2;
// Bounds of one LPUSH, so a huge list costs neither one command per entry nor one giant command.
constexpr size_t kPushEntries = 4096;
constexpr size_t kPushBytes = size_t{4} << 20;
// Times a list is started again after another client changed it under our watch.
constexpr int kRetries = 3;
// The texts held for LREMs, a memory bound: a list needing more LREMs is pushed back.
constexpr size_t kMaxRemovals = 1000;
constexpr size_t kMaxRemovalBytes = size_t{16} << 20;
// An LREM passing over one entry costs the server about what pushing back 100 to 150 bytes does
// (measured with 1 KB entries: 170-300 ns against 2 ns a byte).
constexpr long long kScanCost = 128;

// A watch left behind would abort the EXEC of the next list, so every path that leaves a list
// without EXEC ends it. A failed connection has no watch left to end.
void unwatch(redisContext* c) {
    if (!redis_failed(c)) {
        (void)redis_command(c, "UNWATCH");
    }
}

// Reads the entries [from, to) of `key` in LRANGE pieces, two asked for at a time so the server
// prepares the next while this one is examined, and never builds the whole list's reply at once.
// Hands each piece to `take` in order; throws as getKeyVector does.
void read_range(redisContext* c, const std::string& key, long long from, long long to,
                const std::function<void(RedisReply)>& take) {
    long long requested = from;
    const auto request_next = [&] {
        if (requested < to) {
            redis_append(c, "LRANGE %b %lld %lld", key.data(), key.size(), requested,
                         std::min(requested + kRangePiece, to) - 1);
            requested += kRangePiece;
        }
    };
    for (int i = 0; i < kPiecesAhead; ++i) {
        request_next();
    }
    bool all_arrays = true;
    for (long long start = from; start < to; start += kRangePiece) {
        RedisReply piece = redis_next_reply(c);
        if (!piece) {
            throw std::runtime_error("Redis error: failed to execute LRANGE");
        }
        request_next();
        if (piece->type != REDIS_REPLY_ARRAY) {
            all_arrays = false;  // the other pieces' replies are read all the same
        } else if (all_arrays) {
            take(std::move(piece));
        }
        keep_lock_alive();
    }
    if (!all_arrays) {
        unwatch(c);
        throw std::runtime_error("Redis LRANGE did not return an array");
    }
}

template <typename F>
void for_each_entry(const redisReply* piece, F f) {
    for (size_t i = 0; i < piece->elements; ++i) {
        const redisReply* e = piece->element[i];
        if (e->type == REDIS_REPLY_STRING) {
            f(std::string_view(e->str, e->len));
        }
    }
}

enum class WriteOutcome { kDone, kChanged, kRefused, kNoReply };

// One transaction, sent as one pipeline: the plan's LTRIM and LREMs, then `kept` (head first)
// pushed back in its order. Each LPUSH is flushed as soon as it is formatted, so the output
// buffer holds one command at a time.
WriteOutcome write_back(redisContext* c, const std::string& key, const RewritePlan& plan,
                        const std::vector<std::string_view>& kept) {
    // The server runs the transaction in one go and nothing else reaches it meanwhile: the lock's
    // bracket keeps it from expiring inside however long that takes.
    const LockBracket bracket = lock_bracket();
    redis_append(c, "MULTI");
    size_t queued = 0;
    if (!bracket.empty()) {
        if (!redis_append_argv(c, bracket.hold)) {
            return WriteOutcome::kNoReply;
        }
        ++queued;
    }
    redis_append(c, "LTRIM %b %lld %lld", key.data(), key.size(), plan.trim_start, plan.trim_stop);
    ++queued;
    for (const auto& [count, text] : plan.removals) {
        redis_append(c, "LREM %b %d %b", key.data(), key.size(), count, text.data(), text.size());
        ++queued;
    }
    // LPUSH puts each argument in front of the one before, so the entries go from the last kept
    // to the first and the list reads head first as before.
    size_t next = kept.size();
    while (next > 0) {
        std::vector<std::string_view> argv = {"LPUSH", key};
        size_t bytes = 0;
        while (next > 0 && argv.size() - 2 < kPushEntries && bytes < kPushBytes) {
            --next;
            argv.push_back(kept[next]);
            bytes += kept[next].size();
        }
        if (!redis_append_argv(c, argv) || !redis_flush(c)) {
            return WriteOutcome::kNoReply;
        }
        ++queued;
        keep_lock_alive();
    }
    if (!bracket.empty()) {
        if (!redis_append_argv(c, bracket.refresh)) {
            return WriteOutcome::kNoReply;
        }
        ++queued;
    }
    const RedisReply exec = redis_exec(c, queued);
    if (!exec) {
        return WriteOutcome::kNoReply;
    }
    if (!bracket.empty() && exec->type == REDIS_REPLY_ARRAY && exec->elements > 0) {
        lock_refresh_answered(exec->element[exec->elements - 1]);
    }
    if (exec->type == REDIS_REPLY_NIL) {
        return WriteOutcome::kChanged;
    }
    if (exec->type == REDIS_REPLY_ERROR) {
        log_msg(LOG_ALERT, "timeregister: couldn't trim %s: %s", key.c_str(), exec->str);
        return WriteOutcome::kRefused;
    }
    return WriteOutcome::kDone;
}

// Trims one list, starting again when another client changed it meanwhile. Returns false when a
// write got no reply and the run must end.
bool trim_list(redisContext* c, const std::string& key, std::int64_t now, int valid_duration) {
    for (int attempt = 0;; ++attempt) {
        if (!checkKeyExists(c, key)) {
            return true;
        }
        ListRead read;
        RewritePlanner planner;
        getKeyVector(c, key, read, [&](std::string_view entry) {
            const EntryJudgement j = judge_entry(entry, now, valid_duration);
            if (j.verdict == EntryVerdict::kNotJson) {
                log_msg(LOG_ALERT, "timeregister: JSON parse error for key %s", key.c_str());
            } else if (j.verdict == EntryVerdict::kInvalidTimestamp) {
                log_msg(LOG_ALERT, "timeregister: invalid timestamp for key %s: %s", key.c_str(),
                        j.reason.c_str());
            }
            planner.add(entry, j.verdict == EntryVerdict::kKeep);
            read.hold = planner.pushes_back();
        });
        const RewritePlan plan = planner.finish(read.length);
        if (plan.path == RewritePlan::Path::kNone) {
            unwatch(c);
            return true;
        }
        std::vector<std::string_view> kept;
        if (plan.path == RewritePlan::Path::kPushBack) {
            // What was let go before the push-back was certain is read again, under the same
            // watch: if the list changed meanwhile, EXEC does nothing.
            std::vector<RedisReply> pieces;
            read_range(c, key, 0, read.held_from,
                       [&](RedisReply piece) { pieces.push_back(std::move(piece)); });
            std::move(read.pieces.begin(), read.pieces.end(), std::back_inserter(pieces));
            long long pos = 0;
            for (const RedisReply& piece : pieces) {
                for_each_entry(piece.get(), [&](std::string_view entry) {
                    if (!planner.dropped(pos++)) {
                        kept.push_back(entry);
                    }
                });
            }
            read.pieces = std::move(pieces);
        }
        switch (write_back(c, key, plan, kept)) {
            case WriteOutcome::kDone:
            case WriteOutcome::kRefused:
                return true;
            case WriteOutcome::kNoReply:
                log_msg(LOG_ALERT, "timeregister: failed to push filtered items back. uid=%d",
                        static_cast<int>(getuid()));
                return false;
            case WriteOutcome::kChanged:
                if (attempt == kRetries) {
                    log_msg(LOG_WARNING, "timeregister: %s kept changing, left for the next run",
                            key.c_str());
                    return true;
                }
                break;
        }
    }
}

}  // namespace

void RewritePlanner::add(std::string_view entry, bool keep) {
    const long long pos = next_++;
    if (keep) {
        last_kept_ = pos;
        kept_bytes_ += static_cast<long long>(entry.size());
        if (unheld_ >= 0 && !push_back_) {
            push_back_ = true;  // a dropped entry between kept ones whose text was not held
            removals_ = {};
        }
        return;
    }
    if (!runs_.empty() && runs_.back().second == pos) {
        ++runs_.back().second;
    } else {
        runs_.emplace_back(pos, pos + 1);
    }
    if (push_back_ || last_kept_ < 0) {
        return;  // before the first kept entry, the LTRIM takes it
    }
    if (removals_.size() < kMaxRemovals && removal_bytes_ + entry.size() <= kMaxRemovalBytes) {
        removal_bytes_ += entry.size();
        removals_.emplace_back(pos, entry);
    } else if (unheld_ < 0) {
        unheld_ = pos;
    }
}

bool RewritePlanner::dropped(long long pos) const {
    const auto after = std::upper_bound(
        runs_.begin(), runs_.end(), pos,
        [](long long p, const std::pair<long long, long long>& run) { return p < run.first; });
    return after != runs_.begin() && pos < std::prev(after)->second;
}

RewritePlan RewritePlanner::finish(long long length) {
    RewritePlan plan;
    if (runs_.empty()) {
        return plan;
    }
    // The LTRIM keeps [head, end): from the first kept entry to the last.
    const long long head = runs_.front().first == 0 ? runs_.front().second : 0;
    const long long end = last_kept_ + 1;
    if (!push_back_) {
        long long cost = 0;
        for (auto& [pos, text] : removals_) {
            if (pos >= end) {
                break;  // the LTRIM takes it
            }
            const long long from_head = pos - head;
            const long long from_tail = end - 1 - pos;
            cost +=
                std::min(from_head, from_tail) * kScanCost + static_cast<long long>(text.size());
            plan.removals.emplace_back(from_head <= from_tail ? 1 : -1, std::move(text));
        }
        if (cost <= kept_bytes_) {
            plan.path =
                plan.removals.empty() ? RewritePlan::Path::kTrim : RewritePlan::Path::kRemove;
            plan.trim_start = head;
            plan.trim_stop = end - 1;
            return plan;
        }
        plan.removals.clear();
    }
    plan.path = RewritePlan::Path::kPushBack;
    plan.trim_start = length;
    return plan;
}

EntryJudgement judge_entry(std::string_view entry, std::int64_t now, int valid_duration) {
    const JsonField stamp = member_as_string(entry, "timestamp");
    switch (stamp.status) {
        case FieldStatus::kText:
            break;
        case FieldStatus::kNotJson:
            return {EntryVerdict::kNotJson, {}};
        case FieldStatus::kNotObject:
            return {EntryVerdict::kInvalidTimestamp, "the event is not a JSON object"};
        case FieldStatus::kNotScalar:
            return {EntryVerdict::kInvalidTimestamp, "the timestamp is an object or an array"};
    }
    try {
        const std::int32_t hours = hours_between(now, parseISO8601(stamp.text));
        return {std::abs(hours) <= valid_duration ? EntryVerdict::kKeep : EntryVerdict::kStale, {}};
    } catch (const std::exception& e) {
        return {EntryVerdict::kInvalidTimestamp, e.what()};
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

void getKeyVector(redisContext* c, const std::string& key, ListRead& read,
                  const std::function<void(std::string_view)>& visit) {
    // WATCH before LLEN, in one round trip: the length and the entries read after it are then
    // exactly what EXEC finds, or EXEC does nothing.
    redis_append(c, "WATCH %b", key.data(), key.size());
    redis_append(c, "LLEN %b", key.data(), key.size());
    const RedisReply watch = redis_next_reply(c);
    RedisReply length = redis_next_reply(c);
    if (!length) {
        throw std::runtime_error("Redis error: failed to execute LLEN");
    }
    if (length->type != REDIS_REPLY_INTEGER) {
        length.reset();
        unwatch(c);
        throw std::runtime_error("Redis LLEN did not return an integer");
    }
    read.length = length->integer;
    length.reset();
    read_range(c, key, 0, read.length, [&](RedisReply piece) {
        for_each_entry(piece.get(), visit);
        if (read.hold) {
            read.pieces.push_back(std::move(piece));
        } else {
            read.held_from += static_cast<long long>(piece->elements);
        }
    });
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

    RedisContext ctx = redis_connect();
    if (!ctx) {
        log_msg(LOG_ALERT, "timeregister: cannot allocate Redis context");
        throw std::runtime_error("Cannot allocate Redis context");
    }
    if (redis_failed(ctx.get())) {
        log_msg(LOG_ALERT, "timeregister: Redis connection error: %s", redis_error(ctx.get()));
        const std::string message =
            std::string("Redis connection error: ") + redis_error(ctx.get());
        ctx.reset();
        throw std::runtime_error(message);
    }
    for (int i = 0; i < keys.getLength(); ++i) {
        keep_lock_alive();
        const std::string name = keys[i];
        if (!trim_list(ctx.get(), name, now, valid_duration)) {
            break;
        }
    }
    return 0;
}
