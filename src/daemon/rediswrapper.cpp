// The cycle lock on a connection that the caller owns.
#include "daemon/rediswrapper.h"

#include <signal.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "base/log.h"
#include "redis/redis.h"

namespace {

// Deletes the key only while it still holds the value read before, in one server-side step, so a
// lock that another process took in between is never removed.
constexpr const char* kDeleteIfUnchanged =
    "if redis.call('GET', KEYS[1]) == ARGV[1] then return redis.call('DEL', KEYS[1]) end "
    "return 0";

RedisReply delete_if_unchanged(redisContext* c, const std::string& key, const redisReply* value) {
    return redis_command(c, "EVAL %s 1 %s %b", kDeleteIfUnchanged, key.c_str(), value->str,
                         value->len);
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

RedisReply set_lock(redisContext* c, const std::string& key, int pid, int lifetime) {
    return redis_command(c, "SET %s %d NX EX %d", key.c_str(), pid, lifetime);
}

}  // namespace

bool lock_redis(const char* prefix, redisContext* c, const std::string& key, int lifetime_seconds) {
    const int pid = getpid();
    RedisReply set = set_lock(c, key, pid, lifetime_seconds);
    if (!set) {
        log_msg(LOG_ALERT, "Error: Couldn't set lock %s", key.c_str());
        return false;
    }
    if (is_ok_status(set.get())) {
        return true;
    }
    if (is_error(set.get())) {
        log_msg(LOG_ALERT, "%s: couldn't set lock %s: %s", prefix, key.c_str(), set->str);
    }
    set.reset();

    RedisReply holder = redis_command(c, "GET %s", key.c_str());
    if (!holder || holder->type != REDIS_REPLY_STRING || !holder_is_gone(holder_id(holder.get()))) {
        return false;
    }
    delete_if_unchanged(c, key, holder.get());
    return is_ok_status(set_lock(c, key, pid, lifetime_seconds).get());
}

void unlock_redis(redisContext* c, const std::string& key) {
    const int pid = getpid();
    RedisReply holder = redis_command(c, "GET %s", key.c_str());
    if (!holder) {
        log_msg(LOG_ALERT, "Error: Couldn't read lock %s", key.c_str());
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
    if (!delete_if_unchanged(c, key, holder.get())) {
        log_msg(LOG_ALERT, "Error: Couldn't delete lock %s", key.c_str());
    }
}
