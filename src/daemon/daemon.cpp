// Process start-up, detaching and the cycle loop.
#include "daemon/daemon.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <syslog.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

#include "base/log.h"
#include "base/settings.h"
#include "base/signals.h"
#include "daemon/rediswrapper.h"
#include "jobs/func.h"
#include "jobs/timeregister.h"
#include "redis/lockkeeper.h"
#include "redis/redis.h"
#include "stats/stats.h"

namespace {

// Closes every descriptor below the hard RLIMIT_NOFILE, taken as a signed 32-bit int, so an
// unlimited or unreadable limit closes nothing. One close_range call instead of a loop that can
// take minutes under the 2^30 limit some containers set.
void close_inherited_descriptors() {
    struct rlimit limits;
    std::memset(&limits, 0, sizeof limits);
    (void)getrlimit(RLIMIT_NOFILE, &limits);
    const int hard = static_cast<int>(limits.rlim_max);
    if (hard <= 0) {
        return;
    }
    if (close_range(0, static_cast<unsigned>(hard - 1), 0) != 0) {
        for (int fd = 0; fd < hard; ++fd) {
            close(fd);
        }
    }
}

void point_stdio_at_dev_null() {
    const int fd = open("/dev/null", O_RDWR);
    if (fd < 0) {
        return;
    }
    dup2(fd, 0);
    dup2(fd, 1);
    dup2(fd, 2);
    if (fd > 2) {
        close(fd);
    }
}

long elapsed_ms(std::chrono::steady_clock::time_point from,
                std::chrono::steady_clock::time_point to) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(to - from).count() / 1000000);
}

void run_jobs(const Profile& profile) {
    using Clock = std::chrono::steady_clock;
    // The lock is refreshed before every job but the first, which starts right after taking it.
    if (!profile.log_timings) {
        redistransfer();
        keep_lock_alive(true);
        timeregister();
        keep_lock_alive(true);
        make_stat();
        return;
    }
    const Clock::time_point t0 = Clock::now();
    const Clock::time_point t1 = Clock::now();
    redistransfer();
    const Clock::time_point t2 = Clock::now();
    keep_lock_alive(true);
    timeregister();
    const Clock::time_point t3 = Clock::now();
    keep_lock_alive(true);
    make_stat();
    const Clock::time_point t4 = Clock::now();
    log_msg(LOG_INFO, "%s: timings ms: redistransfer=%ld, timeregister=%ld, stats=%ld, total=%ld",
            profile.prefix, elapsed_ms(t1, t2), elapsed_ms(t2, t3), elapsed_ms(t3, t4),
            elapsed_ms(t0, t4));
}

// A job's exception ends the batch, not the daemon: the next cycle runs the whole batch again.
void run_batch(const Profile& profile) {
    try {
        run_jobs(profile);
    } catch (const std::exception& e) {
        log_msg(LOG_ALERT, "%s: error in batch: %s", profile.prefix, e.what());
    } catch (...) {
        log_msg(LOG_ALERT, "%s: unknown error in batch", profile.prefix);
    }
}

[[noreturn]] void fatal(const Profile& profile, const char* what) {
    log_msg(LOG_ALERT, "%s: fatal error: %s", profile.prefix, what);
    close_log();
    std::exit(1);
}

// The loop cannot go on without Redis; there is no retry and no waiting for it.
RedisContext connect_or_exit(const Profile& profile) {
    RedisContext ctx = redis_connect();
    if (!ctx) {
        log_msg(LOG_ALERT, "%s: cannot allocate Redis context", profile.prefix);
        close_log();
        std::exit(1);
    }
    if (redis_failed(ctx.get())) {
        log_msg(LOG_ALERT, "%s: Redis connection error: %s", profile.prefix,
                redis_error(ctx.get()));
        ctx.reset();
        close_log();
        std::exit(1);
    }
    return ctx;
}

// Takes the lock and, if it was free, runs the batch and releases it. Returns whether the lock
// was taken. An exception here lies outside any batch: the lock is released and the process ends.
bool locked_batch(const Profile& profile, redisContext* c, const std::string& key, int lifetime) {
    bool held = false;
    try {
        held = lock_redis(profile.prefix, c, key, lifetime);
        if (!held) {
            log_msg(LOG_INFO, "%s: lock %s is busy, will retry after sleep", profile.prefix,
                    key.c_str());
            return false;
        }
        log_msg(LOG_INFO, "%s: lock %s acquired", profile.prefix, key.c_str());
        begin_lock_keeping(profile.prefix, c, key, lifetime);
        run_batch(profile);
        end_lock_keeping();
        held = false;
        unlock_redis(c, key);
        log_msg(LOG_INFO, "%s: lock %s released", profile.prefix, key.c_str());
        return true;
    } catch (...) {
        end_lock_keeping();
        if (held) {
            try {
                unlock_redis(c, key);
            } catch (...) {
            }
        }
        throw;
    }
}

}  // namespace

void run_daemon(const Profile& profile, int sleeping_time) {
    const std::string key = "lock:velstrand";
    const int lifetime = get_lock_expiration_time(profile.prefix);
    int countdown = profile.cycle_limit;
    set_full_read_interval(std::chrono::seconds(profile.full_read_seconds));

    for (;;) {
        if (stop_requested) {
            log_received_signals();
            log_msg(LOG_INFO, "%s: stop requested, exiting loop", profile.prefix);
            break;
        }
        RedisContext ctx = connect_or_exit(profile);
        const bool ran = locked_batch(profile, ctx.get(), key, lifetime);
        ctx.reset();
        if (stop_requested) {
            log_received_signals();
            if (ran) {
                log_msg(LOG_INFO, "%s: stop requested after batch", profile.prefix);
            }
            break;
        }
        sleep(static_cast<unsigned>(sleeping_time));
        if (countdown > 0 && --countdown == 0) {
            break;
        }
    }
    // A stop signal that arrived during the last pause of a limited run meets no further check.
    log_received_signals();
    close_log();
}

int daemon_main(const Profile& profile) {
    try {
        const int sleeping_time = get_sleeping_time(profile.prefix);
        const pid_t pid = fork();
        if (pid < 0) {
            return -1;
        }
        if (pid > 0) {
            std::exit(0);
        }
        if (setsid() < 0 || chdir("/") != 0) {
            return -1;
        }
        // The settings reader may have logged through libc's own syslog socket; forget it before
        // its descriptor is closed, so no later open file can be mistaken for it.
        close_log();
        close_inherited_descriptors();
        point_stdio_at_dev_null();
        open_log();
        log_msg(LOG_INFO, "%s started by system %d", profile.prefix, static_cast<int>(getuid()));
        setup_signal_handlers();
        run_daemon(profile, sleeping_time);
        if (profile.cycle_limit > 0) {
            log_msg(LOG_INFO, "%s finished by system %d", profile.prefix,
                    static_cast<int>(getuid()));
        }
        close_log();
        return 0;
    } catch (const std::exception& e) {
        fatal(profile, e.what());
    } catch (...) {
        fatal(profile, "unknown error");
    }
}
