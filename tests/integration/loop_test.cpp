// The cycle loop through the real programs: stopping, Redis going away, several daemons.
#include <signal.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <map>

#include "harness/harness.h"

namespace vt {
namespace {

class Loop : public IntegrationTest {};

// True once `pid` holds a TCP connection (the daemon holds none while it pauses).
bool wait_until_connected(pid_t pid, Millis timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    const std::string dir = "/proc/" + std::to_string(pid) + "/fd/";
    while (std::chrono::steady_clock::now() < deadline) {
        int sockets = 0;
        for (int fd = 0; fd < 64; ++fd) {
            char buf[64];
            const ssize_t n = readlink((dir + std::to_string(fd)).c_str(), buf, sizeof buf);
            sockets += n > 7 && std::string(buf, 7) == "socket:";
        }
        if (sockets >= 2) {
            return true;
        }
        pause_for(2ms);
    }
    return false;
}

TEST_F(Loop, RedisDownAtTheFirstCycleEndsWithStatusOne) {
    server->stop();
    const pid_t daemon = start_daemon("velstrand");
    const std::optional<int> status = wait_exit(daemon, 20s);
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 1) << *status;
    const std::vector<LogLine> lines = log->lines();
    ASSERT_EQ(lines.size(), 2u) << log->dump();
    EXPECT_EQ(lines[0].message, "velstrand started by system 0");
    EXPECT_EQ(lines[1].message, "velstrand: Redis connection error: Connection refused");
    EXPECT_EQ(lines[1].priority, LOG_ALERT);
}

TEST_F(Loop, RedisGoneAtALaterCycleEndsWithStatusOne) {
    const pid_t daemon = start_daemon("velstrandtest");
    ASSERT_TRUE(log->wait_for("velstrandtest: lock lock:velstrand released", 5s));
    server->kill();
    const std::optional<int> status = wait_exit(daemon, 20s);
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 1) << *status;
    EXPECT_EQ(log->count("velstrandtest: Redis connection error: Connection refused"), 1u)
        << log->dump();
    EXPECT_EQ(log->count("finished by system"), 0u);
}

TEST_F(Loop, StopSignalDuringThePauseEndsAtTheNextCheck) {
    write_settings(Settings{.sleeping_time = 60});
    for (const int sig : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(sig);
        log->clear();
        const pid_t daemon = start_daemon("velstrand");
        ASSERT_TRUE(log->wait_for("velstrand: lock lock:velstrand released", 5s));
        pause_for(100ms);
        kill(daemon, sig);
        const std::optional<int> status = wait_exit(daemon, 20s);
        ASSERT_TRUE(status.has_value()) << "the pause was not cut short";
        EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
        const std::vector<LogLine> lines = log->lines();
        ASSERT_GE(lines.size(), 2u);
        EXPECT_EQ(lines[lines.size() - 2].message,
                  "velstrand: got signal " + std::to_string(sig) + ", stopping...");
        EXPECT_EQ(lines.back().message, "velstrand: stop requested, exiting loop");
        EXPECT_EQ(log->count("acquired"), 1u) << "no connection after the stop";
    }
}

// The server paused for writes holds the daemon inside its lock commands, so the signal lands
// exactly there.
TEST_F(Loop, StopWhileTheLockIsBusyEndsWithoutPauseOrStopMessage) {
    write_settings(Settings{.sleeping_time = 60});
    const pid_t holder = spawn_named_process("holder");
    redis->set("lock:velstrand", std::to_string(holder));
    redis->cmd({"CLIENT", "PAUSE", "1000", "WRITE"});
    const pid_t daemon = start_daemon("velstrand");
    ASSERT_TRUE(log->wait_for("velstrand started by system 0", 5s));
    pause_for(300ms);
    kill(daemon, SIGTERM);
    const std::optional<int> status = wait_exit(daemon, 20s);
    ASSERT_TRUE(status.has_value()) << "it paused";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
    const std::vector<LogLine> lines = log->lines();
    ASSERT_EQ(lines.size(), 3u) << log->dump();
    EXPECT_EQ(lines[1].message, "velstrand: lock lock:velstrand is busy, will retry after sleep");
    EXPECT_EQ(lines[2].message, "velstrand: got signal 15, stopping...");
}

TEST_F(Loop, StopDuringTheBatchReleasesTheLockAndEndsAfterIt) {
    const pid_t daemon = start_daemon("velstrand");
    ASSERT_TRUE(log->wait_for("velstrand: lock lock:velstrand released", 5s));
    // The next cycle's lock command waits on the paused server: the signal arrives while the
    // daemon holds its connection, and the cycle still runs to its end.
    redis->cmd({"CLIENT", "PAUSE", "3000", "WRITE"});
    ASSERT_TRUE(wait_until_connected(daemon, 5s));
    kill(daemon, SIGTERM);
    const std::optional<int> status = wait_exit(daemon, 20s);
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
    // The loop's own lines; the jobs of the batch log theirs in between.
    std::vector<LogLine> lines;
    for (const LogLine& l : log->lines()) {
        if (l.message.rfind("velstrand", 0) == 0) {
            lines.push_back(l);
        }
    }
    ASSERT_GE(lines.size(), 4u) << log->dump();
    EXPECT_EQ(lines[lines.size() - 4].message, "velstrand: lock lock:velstrand acquired");
    EXPECT_EQ(lines[lines.size() - 3].message, "velstrand: lock lock:velstrand released");
    EXPECT_EQ(lines[lines.size() - 2].message, "velstrand: got signal 15, stopping...");
    EXPECT_EQ(lines.back().message, "velstrand: stop requested after batch");
    EXPECT_FALSE(redis->exists("lock:velstrand"));
}

TEST_F(Loop, TwoDaemonsNeverRunABatchAtTheSameTime) {
    const pid_t a = start_daemon("velstrand");
    const pid_t b = start_daemon("velstrand");
    const pid_t c = start_daemon("velstrandtest");
    pause_for(4500ms);
    kill(a, SIGTERM);
    kill(b, SIGTERM);
    kill(c, SIGTERM);
    for (pid_t p : {a, b, c}) {
        EXPECT_TRUE(wait_exit(p, 20s).has_value());
    }
    int holder = -1;
    size_t batches = 0;
    for (const LogLine& l : log->lines()) {
        if (l.message.find("lock lock:velstrand acquired") != std::string::npos) {
            EXPECT_EQ(holder, -1) << "batch of " << l.pid << " overlaps one of " << holder;
            holder = l.pid;
            ++batches;
        } else if (l.message.find("lock lock:velstrand released") != std::string::npos) {
            EXPECT_EQ(holder, l.pid);
            holder = -1;
        }
    }
    EXPECT_GE(batches, 4u) << log->dump();
    EXPECT_FALSE(redis->exists("lock:velstrand"));
}

}  // namespace
}  // namespace vt
