// The cycle lock on a connection that the caller owns.
#include "daemon/rediswrapper.h"

#include <signal.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/log.h"
#include "redis/redis.h"

namespace {

// At maxmemory the server refuses a plain SET, which may grow memory, but runs a script flagged
// allow-oom, so the lock is taken and released however full the server is.
constexpr const char* kAllowOom = "#!lua flags=allow-oom\n";

// Creates the lock (answers 1), or answers its holder's text, or nil for a key of another type. A
// held lock found without a lifetime gets one: a lifetime taken away for a long transaction and
// never given back would otherwise block every other daemon for good.
constexpr const char* kTake =
    "if redis.call('SET', KEYS[1], ARGV[1], 'NX', 'EX', ARGV[2]) then return 1 end "
    "if redis.call('TYPE', KEYS[1]).ok ~= 'string' then return false end "
    "if redis.call('TTL', KEYS[1]) == -1 then redis.call('EXPIRE', KEYS[1], ARGV[2]) end "
    "return redis.call('GET', KEYS[1])";

// Takes a stale lock over while it still holds the text read before (or has gone meanwhile), in
// one server-side step, so a lock that another process took in between is left to it.
constexpr const char* kTakeOver =
    "local v = redis.call('GET', KEYS[1]) if v and v ~= ARGV[3] then return 0 end "
    "redis.call('SET', KEYS[1], ARGV[1], 'EX', ARGV[2]) return 1";

// Deletes the key only while it still holds the value read before.
constexpr const char* kDeleteIfUnchanged =
    "if redis.call('GET', KEYS[1]) == ARGV[1] then return redis.call('DEL', KEYS[1]) end "
    "return 0";

// Runs one of the scripts above on the key and `args`, flagged allow-oom. A server older than 7.0
// cannot compile the flag line: it runs the script without it, and refuses it at maxmemory.
RedisReply run_lock_script(redisContext* c, const char* script, const std::string& key,
                           std::vector<std::string> args) {
    args.insert(args.begin(), {"EVAL", kAllowOom + std::string(script), "1", key});
    RedisReply r = redis_append_argv(c, args) ? redis_next_reply(c) : RedisReply();
    if (is_error(r.get()) &&
        reply_text(r.get()).find("Error compiling script") != std::string_view::npos) {
        args[1] = script;
        r = redis_append_argv(c, args) ? redis_next_reply(c) : RedisReply();
    }
    return r;
}

bool answered_one(const redisReply* r) {
    return is_integer(r) && r->integer == 1;
}

// An error answer means the server refused (a disk error, say): the lock truly cannot be set.
void log_refusal(const char* prefix, const std::string& key, const redisReply* r) {
    if (is_error(r)) {
        log_msg(LOG_ALERT, "%s: couldn't set lock %s: %s", prefix, key.c_str(), r->str);
    }
}

// The holder id as strtol reads the text (leading blanks and sign, digits up to the first other
// character, 0 without digits), narrowed to its low 32 bits.
int holder_id(const redisReply* value) {
    return static_cast<int>(static_cast<unsigned long>(std::strtol(value->str, nullptr, 10)));
}

// A holder is gone only when the kernel says no such process: EPERM means it lives under
// another user, and taking its lock would run two batches at once.
bool holder_is_gone(int holder) {
    return holder <= 0 || (kill(holder, 0) != 0 && errno == ESRCH);
}

}  // namespace

bool lock_redis(const char* prefix, redisContext* c, const std::string& key, int lifetime_seconds) {
    const int pid = getpid();
    const std::string own = std::to_string(pid);
    const std::string lifetime = std::to_string(lifetime_seconds);
    const RedisReply held = run_lock_script(c, kTake, key, {own, lifetime});
    if (!held) {
        log_msg(LOG_ALERT, "Error: Couldn't set lock %s", key.c_str());
        return false;
    }
    if (answered_one(held.get())) {
        return true;
    }
    log_refusal(prefix, key, held.get());
    if (held->type != REDIS_REPLY_STRING) {
        return false;
    }
    // No batch runs between cycles, so a lock holding this process's own id is its leftover: a
    // release that failed, or a server restarted from its append-only file mid-batch.
    const int holder = holder_id(held.get());
    if (holder != pid && !holder_is_gone(holder)) {
        return false;
    }
    const RedisReply taken =
        run_lock_script(c, kTakeOver, key, {own, lifetime, std::string(held->str, held->len)});
    log_refusal(prefix, key, taken.get());
    return answered_one(taken.get());
}

void unlock_redis(redisContext* c, const std::string& key) {
    const int pid = getpid();
    RedisReply holder = redis_command(c, "GET %s", key.c_str());
    if (!holder) {
        log_msg(LOG_ALERT, "Error: Couldn't read lock %s", key.c_str());
        return;
    }
    if (is_error(holder.get())) {
        log_msg(LOG_ALERT, "Error: Couldn't read lock %s: %s", key.c_str(), holder->str);
        return;
    }
    if (holder->type != REDIS_REPLY_STRING) {
        return;
    }
    const int id = holder_id(holder.get());
    if (id != pid) {
        log_msg(LOG_INFO, "Info: lock %s is owned by another pid (%d), current pid=%d", key.c_str(),
                id, pid);
        return;
    }
    const RedisReply deleted =
        run_lock_script(c, kDeleteIfUnchanged, key, {std::string(holder->str, holder->len)});
    if (!deleted) {
        log_msg(LOG_ALERT, "Error: Couldn't delete lock %s", key.c_str());
    } else if (is_error(deleted.get())) {
        log_msg(LOG_ALERT, "Error: Couldn't delete lock %s: %s", key.c_str(), deleted->str);
    }
}
