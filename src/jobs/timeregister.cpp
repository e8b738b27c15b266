// The retention job. Each list is read and rewritten under WATCH, and the rewrite (trimming the
// entries read off the head and pushing the kept ones back) is one MULTI/EXEC: whatever happens
// to this process or its connection, a list is left either whole or trimmed, never short of an
// entry that was to be kept.
#include "jobs/timeregister.h"

#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <functional>
#include <libconfig.h++>
#include <stdexcept>

#include "daemon/log.h"
#include "daemon/redis_handle.h"
#include "daemon/settings.h"
#include "jobs/chrondiff.h"
#include "jobs/jsonfield.h"

namespace {

// Entries per LRANGE: long lists are read in pieces, all pieces sent before the first is read.
constexpr long long kRangePiece = 10000;
// Bounds of one LPUSH, so a huge list costs neither one command per entry nor one giant command.
constexpr size_t kPushEntries = 4096;
constexpr size_t kPushBytes = size_t{4} << 20;
// Times a list is started again after another client changed it under our watch.
constexpr int kRetries = 3;

// The present in UTC, for example 2026-12-06T02:19:37+0000.
std::string reference_time() {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char text[26];
    const size_t n = std::strftime(text, sizeof text, "%FT%T%z", &utc);
    return std::string(text, n);
}

// A watch left behind would abort the EXEC of the next list, so every path that leaves a list
// without EXEC ends it. A failed connection has no watch left to end.
void unwatch(redisContext* c) {
    if (c->err == 0) {
        (void)redis_command(c, "UNWATCH");
    }
}

bool flush(redisContext* c) {
    int done = 0;
    while (!done) {
        if (redisBufferWrite(c, &done) != REDIS_OK) {
            return false;
        }
    }
    return true;
}

// The rewrite of one list, built while its entries are still arriving. Nothing is sent until
// the first entry is dropped; from then on MULTI, the LTRIM of everything read and the kept
// entries in bounded LPUSHes go out as they come, so the server queues them while the rest is
// examined. The entries arrive from the tail, and LPUSH puts each argument in front of the one
// before: the list reads head first as it did.
struct Rewrite {
    redisContext* c;
    const std::string& key;
    std::vector<std::string_view> pending;  // kept, tail first, not sent yet
    size_t pending_bytes = 0;
    bool started = false;  // MULTI and LTRIM are on their way
    size_t queued = 0;     // commands sent since MULTI, MULTI included: replies owed before EXEC's
    bool broken = false;   // a write failed: the connection is gone
};

void send_pending(Rewrite& w) {
    std::vector<const char*> argv;
    std::vector<size_t> lens;
    size_t next = 0;
    while (next < w.pending.size() && !w.broken) {
        argv.assign({"LPUSH", w.key.data()});
        lens.assign({5, w.key.size()});
        size_t bytes = 0;
        while (next < w.pending.size() && argv.size() - 2 < kPushEntries && bytes < kPushBytes) {
            argv.push_back(w.pending[next].data());
            lens.push_back(w.pending[next].size());
            bytes += w.pending[next].size();
            ++next;
        }
        w.broken = redisAppendCommandArgv(w.c, static_cast<int>(argv.size()), argv.data(),
                                          lens.data()) != REDIS_OK ||
                   !flush(w.c);
        ++w.queued;
    }
    w.pending.clear();
    w.pending_bytes = 0;
}

void keep(Rewrite& w, std::string_view entry) {
    w.pending.push_back(entry);
    w.pending_bytes += entry.size();
    if (w.started && (w.pending.size() >= kPushEntries || w.pending_bytes >= kPushBytes)) {
        send_pending(w);
    }
}

void drop(Rewrite& w, long long taken) {
    if (w.started) {
        return;
    }
    w.started = true;
    redisAppendCommand(w.c, "MULTI");
    redisAppendCommand(w.c, "LTRIM %b %lld -1", w.key.data(), w.key.size(), taken);
    w.queued = 2;
    send_pending(w);
}

enum class WriteOutcome { kDone, kChanged, kRefused, kNoReply };

// Sends what is left and EXEC, and reads the transaction's replies.
WriteOutcome commit(Rewrite& w) {
    send_pending(w);
    redisAppendCommand(w.c, "EXEC");
    for (size_t i = 0; i < w.queued && !w.broken; ++i) {
        w.broken = !redis_next_reply(w.c);
    }
    const RedisReply exec = w.broken ? nullptr : redis_next_reply(w.c);
    if (!exec) {
        return WriteOutcome::kNoReply;
    }
    if (exec->type == REDIS_REPLY_NIL) {
        return WriteOutcome::kChanged;
    }
    if (exec->type == REDIS_REPLY_ERROR) {
        log_msg(LOG_ALERT, "timeregister: couldn't trim %s: %s", w.key.c_str(), exec->str);
        return WriteOutcome::kRefused;
    }
    return WriteOutcome::kDone;
}

// Trims one list, starting again when another client changed it meanwhile. Returns false when a
// write got no reply and the run must end.
bool trim_list(redisContext* c, const std::string& key, const std::string& now,
               int valid_duration) {
    for (int attempt = 0;; ++attempt) {
        if (!checkKeyExists(c, key)) {
            return true;
        }
        Rewrite w{c, key, {}, 0, false, 0, false};
        ListRead read;
        getKeyVector(c, key, read, [&](std::string_view entry) {
            const EntryJudgement j = judge_entry(entry, now, valid_duration);
            switch (j.verdict) {
                case EntryVerdict::kKeep:
                    keep(w, entry);
                    return;
                case EntryVerdict::kStale:
                    break;
                case EntryVerdict::kNotJson:
                    log_msg(LOG_ALERT, "timeregister: JSON parse error for key %s", key.c_str());
                    break;
                case EntryVerdict::kInvalidTimestamp:
                    log_msg(LOG_ALERT, "timeregister: invalid timestamp for key %s: %s",
                            key.c_str(), j.reason.c_str());
                    break;
            }
            drop(w, read.length);
        });
        if (!w.started) {
            unwatch(c);
            return true;
        }
        switch (commit(w)) {
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

EntryJudgement judge_entry(std::string_view entry, std::string_view now, int valid_duration) {
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
        const std::int32_t hours = get_time_difference(now, stamp.text);
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
    if (c->err) {
        log_msg(LOG_ALERT, "Redis connection error: %s", c->errstr);
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
    redisAppendCommand(c, "WATCH %b", key.data(), key.size());
    redisAppendCommand(c, "LLEN %b", key.data(), key.size());
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

    // Pieces from the tail: [count - kRangePiece, count - 1], then the one before it, and so on.
    const long long count = read.length;
    for (long long end = count; end > 0; end -= kRangePiece) {
        redisAppendCommand(c, "LRANGE %b %lld %lld", key.data(), key.size(),
                           std::max(0LL, end - kRangePiece), end - 1);
    }
    bool all_arrays = true;
    for (long long end = count; end > 0; end -= kRangePiece) {
        RedisReply piece = redis_next_reply(c);
        if (!piece) {
            throw std::runtime_error("Redis error: failed to execute LRANGE");
        }
        if (piece->type != REDIS_REPLY_ARRAY) {
            all_arrays = false;  // the other pieces' replies are read all the same
            continue;
        }
        if (all_arrays) {
            for (size_t i = piece->elements; i-- > 0;) {
                const redisReply* e = piece->element[i];
                if (e->type == REDIS_REPLY_STRING) {
                    visit(std::string_view(e->str, e->len));
                }
            }
        }
        read.pieces.push_back(std::move(piece));
    }
    if (!all_arrays) {
        throw std::runtime_error("Redis LRANGE did not return an array");
    }
}

int timeregister() {
    open_log();
    const std::string now = reference_time();
    libconfig::Config cfg;
    if (!read_settings_file(cfg, [] {
            log_msg(LOG_ALERT, "timeregister: I/O error while reading config file. uid=%d",
                    static_cast<int>(getuid()));
        })) {
        close_log();
        return 1;
    }
    const libconfig::Setting& settings = settings_group(cfg);
    const libconfig::Setting& keys = settings["keys"];
    const int valid_duration = settings.lookup("valid_duration");

    RedisContext ctx = redis_connect();
    if (!ctx) {
        log_msg(LOG_ALERT, "timeregister: cannot allocate Redis context");
        close_log();
        throw std::runtime_error("Cannot allocate Redis context");
    }
    if (ctx->err) {
        log_msg(LOG_ALERT, "timeregister: Redis connection error: %s", ctx->errstr);
        const std::string message = std::string("Redis connection error: ") + ctx->errstr;
        ctx.reset();
        close_log();
        throw std::runtime_error(message);
    }
    for (int i = 0; i < keys.getLength(); ++i) {
        const std::string name = keys[i];
        if (!trim_list(ctx.get(), name, now, valid_duration)) {
            break;
        }
    }
    ctx.reset();
    close_log();
    return 0;
}
