// Extends the cycle lock's lifetime from inside a long batch.
#include "daemon/lockkeeper.h"

#include <syslog.h>

#include <algorithm>
#include <chrono>

#include "daemon/log.h"
#include "daemon/rediswrapper.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Keeping {
    const Profile* profile = nullptr;
    redisContext* conn = nullptr;
    std::string key;
    int lifetime = 0;
    Clock::duration interval{};
    Clock::time_point last{};
    bool lost = false;
};

Keeping keeping;

void report_loss() {
    keeping.lost = true;
    log_msg(LOG_WARNING, "%s: lock %s was lost during the batch", keeping.profile->prefix,
            keeping.key.c_str());
}

}  // namespace

void begin_lock_keeping(const Profile& profile, redisContext* c, const std::string& key,
                        int lifetime_seconds) {
    keeping.profile = &profile;
    keeping.conn = c;
    keeping.key = key;
    keeping.lifetime = lifetime_seconds;
    keeping.interval = std::max<Clock::duration>(
        std::chrono::milliseconds(lifetime_seconds * 1000LL / 3), std::chrono::milliseconds(200));
    keeping.last = Clock::now();
    keeping.lost = false;
}

void end_lock_keeping() {
    keeping.conn = nullptr;
}

void keep_lock_alive(bool force) {
    if (keeping.conn == nullptr || keeping.lost) {
        return;
    }
    const Clock::time_point now = Clock::now();
    if (!force && now - keeping.last < keeping.interval) {
        return;
    }
    keeping.last = now;
    if (!refresh_lock(keeping.conn, keeping.key, keeping.lifetime)) {
        report_loss();
    }
}

LockBracket lock_bracket() {
    if (keeping.conn == nullptr || keeping.lost) {
        return {};
    }
    return {hold_lock_command(keeping.key), refresh_lock_command(keeping.key, keeping.lifetime)};
}

void lock_refresh_answered(const redisReply* r) {
    if (keeping.conn == nullptr || keeping.lost) {
        return;
    }
    keeping.last = Clock::now();
    if (!answered_refresh(r)) {
        report_loss();
    }
}
