// The cycle lock on a connection that the caller owns.
#include "daemon/rediswrapper.h"

#include <signal.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "daemon/log.h"
#include "daemon/redis_handle.h"

namespace {

// Deletes the key only while it still holds the value read before, in one server-side step, so a
// lock that another process took in between is never removed.
constexpr const char* kDeleteIfUnchanged =
    "if redis.call('GET', KEYS[1]) == ARGV[1] then return redis.call('DEL', KEYS[1]) end "
    "return 0";

// Extends the lifetime while the key still holds our value. Inside a transaction the server may
// count a relative lifetime from the moment the transaction began, which can lie long in the
// past at its end; the deadline is therefore set from the server's clock as the script runs.
constexpr const char* kExpireIfHeld =
    "if redis.call('GET', KEYS[1]) == ARGV[1] then local t = redis.call('TIME') "
    "return redis.call('PEXPIREAT', KEYS[1], t[1] * 1000 + math.floor(t[2] / 1000) + ARGV[2] * "
    "1000) end return 0";

// Takes the lifetime away while the key still holds our value. A script sees keys expire by its
// own start time, so a script at the end of a transaction longer than the lock's remaining
// lifetime would find the lock gone; one at the start of the transaction, with the expiry
// removed there, keeps it for the whole of it.
constexpr const char* kPersistIfHeld =
    "if redis.call('GET', KEYS[1]) == ARGV[1] then redis.call('PERSIST', KEYS[1]) return 1 end "
    "return 0";

RedisReply delete_if_unchanged(redisContext* c, const std::string& key, const redisReply* value) {
    return redis_command(c, "EVAL %s 1 %s %b", kDeleteIfUnchanged, key.c_str(), value->str,
                         value->len);
}

bool is_ok_status(const redisReply* r) {
    return r != nullptr && r->type == REDIS_REPLY_STATUS && r->len == 2 &&
           std::memcmp(r->str, "OK", 2) == 0;
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

bool lock_redis(redisContext* c, const std::string& key, int lifetime_seconds) {
    const int pid = getpid();
    RedisReply set = set_lock(c, key, pid, lifetime_seconds);
    if (!set) {
        log_msg(LOG_ALERT, "Error: Couldn't set lock %s", key.c_str());
        return false;
    }
    if (is_ok_status(set.get())) {
        return true;
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

bool refresh_lock(redisContext* c, const std::string& key, int lifetime_seconds) {
    RedisReply r = redis_command(c, "EVAL %s 1 %s %d %d", kExpireIfHeld, key.c_str(),
                                 static_cast<int>(getpid()), lifetime_seconds);
    return answered_refresh(r.get());
}

std::vector<std::string> refresh_lock_command(const std::string& key, int lifetime_seconds) {
    return {"EVAL",
            kExpireIfHeld,
            "1",
            key,
            std::to_string(getpid()),
            std::to_string(lifetime_seconds)};
}

std::vector<std::string> hold_lock_command(const std::string& key) {
    return {"EVAL", kPersistIfHeld, "1", key, std::to_string(getpid())};
}

bool answered_refresh(const redisReply* r) {
    return r != nullptr && r->type == REDIS_REPLY_INTEGER && r->integer == 1;
}
