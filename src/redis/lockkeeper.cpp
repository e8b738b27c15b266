// Extends the cycle lock's lifetime from inside a long batch.
#include "redis/lockkeeper.h"

#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "base/log.h"
#include "redis/redis.h"

namespace {

using Clock = std::chrono::steady_clock;

// Extends the lifetime while the key still holds our value. Inside a transaction the server may
// count a relative lifetime from the moment the transaction began, which can lie long in the
// past at its end; the deadline is therefore set from the server's clock as the script runs. A
// key of another type is another holder's (pcall answers its error instead of raising it).
constexpr const char* kExpireIfHeld =
    "if redis.pcall('GET', KEYS[1]) == ARGV[1] then local t = redis.call('TIME') "
    "return redis.call('PEXPIREAT', KEYS[1], t[1] * 1000 + math.floor(t[2] / 1000) + ARGV[2] * "
    "1000) end return 0";

// Takes the lifetime away while the key still holds our value. A script sees keys expire by its
// own start time, so a script at the end of a transaction longer than the lock's remaining
// lifetime would find the lock gone; one at the start of the transaction, with the expiry
// removed there, keeps it for the whole of it.
constexpr const char* kPersistIfHeld =
    "if redis.pcall('GET', KEYS[1]) == ARGV[1] then redis.call('PERSIST', KEYS[1]) return 1 end "
    "return 0";

struct Keeping {
    const char* prefix = "";
    redisContext* conn = nullptr;
    std::string key;
    int lifetime = 0;
    Clock::duration interval{};
    Clock::time_point last{};
    bool lost = false;
    bool refused = false;  // the last refresh got an error answer
};

Keeping keeping;

// A refused refresh is tried again this soon rather than a third of the lifetime later.
constexpr Clock::duration kRetry = std::chrono::milliseconds(100);

bool keeping_active() {
    return keeping.conn != nullptr && !keeping.lost;
}

RedisReply refresh() {
    keeping.last = Clock::now();
    return redis_command(keeping.conn, "EVAL %s 1 %s %d %d", kExpireIfHeld, keeping.key.c_str(),
                         static_cast<int>(getpid()), keeping.lifetime);
}

// Only another holder or a missing key is a lost lock (or a broken connection, which can keep it
// no more); an error answer (a busy script, a disk error) is the server refusing for now.
bool judge_refresh(const redisReply* r) {
    if (is_integer(r) && r->integer == 1) {
        keeping.refused = false;
        return true;
    }
    if (is_error(r)) {
        keeping.last -= keeping.interval - kRetry;
        return false;
    }
    keeping.lost = true;
    log_msg(LOG_WARNING, "%s: lock %s was lost during the batch", keeping.prefix,
            keeping.key.c_str());
    return false;
}

}  // namespace

void begin_lock_keeping(const char* prefix, redisContext* c, const std::string& key,
                        int lifetime_seconds) {
    keeping.prefix = prefix;
    keeping.conn = c;
    keeping.key = key;
    keeping.lifetime = lifetime_seconds;
    keeping.interval = std::max<Clock::duration>(
        std::chrono::milliseconds(lifetime_seconds * 1000LL / 3), std::chrono::milliseconds(200));
    keeping.last = Clock::now();
    keeping.lost = false;
    keeping.refused = false;
}

void end_lock_keeping() {
    keeping.conn = nullptr;
}

void keep_lock_alive(bool force) {
    if (!keeping_active() || (!force && Clock::now() - keeping.last < keeping.interval)) {
        return;
    }
    const RedisReply r = refresh();
    if (!judge_refresh(r.get()) && is_error(r.get()) && !keeping.refused) {
        keeping.refused = true;  // logged once until a refresh gets through again
        log_msg(LOG_WARNING, "%s: couldn't refresh lock %s: %s", keeping.prefix,
                keeping.key.c_str(), r->str);
    }
}

LockBracket lock_bracket() {
    if (!keeping_active()) {
        return {};
    }
    const std::string pid = std::to_string(getpid());
    return {{"EVAL", kPersistIfHeld, "1", keeping.key, pid},
            {"EVAL", kExpireIfHeld, "1", keeping.key, pid, std::to_string(keeping.lifetime)}};
}

void lock_refresh_answered(const redisReply* r) {
    if (!keeping_active()) {
        return;
    }
    keeping.last = Clock::now();
    if (judge_refresh(r) || !is_error(r)) {
        return;
    }
    // The hold took the lifetime away and the refresh was refused: the lock must not stay
    // without one.
    const RedisReply again = refresh();
    if (!judge_refresh(again.get()) && is_error(again.get())) {
        log_msg(LOG_ALERT, "%s: couldn't give lock %s its lifetime back: %s", keeping.prefix,
                keeping.key.c_str(), again->str);
    }
}
