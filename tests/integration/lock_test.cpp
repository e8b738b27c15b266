// The cycle lock on a connection of the test's own, against a real server.
#include <signal.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include "redis/lockkeeper.h"
#include "daemon/rediswrapper.h"
#include "harness/harness.h"

namespace vt {
namespace {

const std::string kKey = "lock:velstrand";

class Lock : public IntegrationTest {
  protected:
    void SetUp() override {
        IntegrationTest::SetUp();
        conn.reset(redisConnect("127.0.0.1", 6379));
        ASSERT_TRUE(conn && !conn->err);
    }
    // A pid that no process of the namespace has.
    static pid_t dead_pid() {
        const pid_t pid = fork();
        if (pid == 0) {
            _exit(0);
        }
        wait_exit(pid, 20s);
        return pid;
    }
    // Makes the next command on `conn` get no reply.
    void break_connection() {
        RedisReply id = redis_command(conn.get(), "CLIENT ID");
        ASSERT_TRUE(id && id->type == REDIS_REPLY_INTEGER);
        redis->cmd({"CLIENT", "KILL", "ID", std::to_string(id->integer)});
    }
    RedisContext conn;
};

TEST_F(Lock, FreeKeyIsTakenWithOwnPidAndLifetime) {
    EXPECT_TRUE(lock_redis(conn.get(), kKey, 77));
    EXPECT_EQ(redis->get(kKey).value_or(""), std::to_string(getpid()));
    const long long ttl = redis->ttl(kKey);
    EXPECT_GE(ttl, 76);
    EXPECT_LE(ttl, 77);
    unlock_redis(conn.get(), kKey);
    EXPECT_FALSE(redis->exists(kKey));
    pause_for(50ms);
    EXPECT_TRUE(log->lines().empty()) << log->dump();
}

TEST_F(Lock, LiveHolderKeepsTheLockSilently) {
    const pid_t holder = spawn_named_process("holder");
    redis->set(kKey, std::to_string(holder));
    EXPECT_FALSE(lock_redis(conn.get(), kKey, 100));
    EXPECT_EQ(redis->get(kKey).value_or(""), std::to_string(holder));
    // Our own pid left over from an earlier cycle counts as alive too.
    redis->set(kKey, std::to_string(getpid()));
    EXPECT_FALSE(lock_redis(conn.get(), kKey, 100));
    // A key of another type: SET NX answers nil, GET an error.
    redis->del(kKey);
    redis->cmd({"RPUSH", kKey, "x"});
    EXPECT_FALSE(lock_redis(conn.get(), kKey, 100));
    EXPECT_EQ(redis->llen(kKey), 1);
    pause_for(50ms);
    EXPECT_TRUE(log->lines().empty()) << log->dump();
}

TEST_F(Lock, StaleHoldersAreTakenOver) {
    const pid_t dead = dead_pid();
    ASSERT_NE(kill(123, 0), 0) << "pid 123 exists in this namespace";
    for (const std::string& value :
         {std::to_string(dead), std::string("0"), std::string("-5"), std::string("abc"),
          std::string("123abc"), std::string("4294967296")}) {
        SCOPED_TRACE(value);
        redis->cmd({"SET", kKey, value, "EX", "5"});
        EXPECT_TRUE(lock_redis(conn.get(), kKey, 90));
        EXPECT_EQ(redis->get(kKey).value_or(""), std::to_string(getpid()));
        EXPECT_GE(redis->ttl(kKey), 89);
        redis->del(kKey);
    }
    pause_for(50ms);
    EXPECT_TRUE(log->lines().empty()) << log->dump();
}

TEST_F(Lock, ReleaseLeavesAbsentAndForeignKeysAlone) {
    unlock_redis(conn.get(), kKey);
    EXPECT_FALSE(redis->exists(kKey));
    pause_for(50ms);
    EXPECT_TRUE(log->lines().empty()) << log->dump();

    redis->set(kKey, "4242");
    unlock_redis(conn.get(), kKey);
    EXPECT_EQ(redis->get(kKey).value_or(""), "4242");
    ASSERT_TRUE(log->wait_for("Info: lock", 2s));
    const auto info = log->matching("Info: lock");
    ASSERT_EQ(info.size(), 1u);
    EXPECT_EQ(info[0].message,
              "Info: lock lock:velstrand is owned by another pid (4242), "
              "current pid=" +
                  std::to_string(getpid()));
    EXPECT_EQ(info[0].priority, LOG_INFO);
}

TEST_F(Lock, MissingRepliesAreLogged) {
    break_connection();
    EXPECT_FALSE(lock_redis(conn.get(), kKey, 100));
    ASSERT_TRUE(log->wait_for("Error: Couldn't set lock lock:velstrand", 2s)) << log->dump();

    conn.reset(redisConnect("127.0.0.1", 6379));
    break_connection();
    unlock_redis(conn.get(), kKey);
    ASSERT_TRUE(log->wait_for("Error: Couldn't read lock lock:velstrand", 2s)) << log->dump();

    // The read passes and the delete finds the server paused for writes (scripts included):
    // with a read time-out the delete gets no reply.
    conn.reset(redisConnect("127.0.0.1", 6379));
    ASSERT_TRUE(lock_redis(conn.get(), kKey, 100));
    struct timeval tv = {0, 300000};
    redisSetTimeout(conn.get(), tv);
    redis->cmd({"CLIENT", "PAUSE", "1500", "WRITE"});
    unlock_redis(conn.get(), kKey);
    ASSERT_TRUE(log->wait_for("Error: Couldn't delete lock lock:velstrand", 2s)) << log->dump();
    for (const LogLine& l : log->lines()) {
        EXPECT_EQ(l.priority, LOG_ALERT) << l.message;
    }
    redis->cmd({"CLIENT", "UNPAUSE"});
}

// A batch longer than the lock's lifetime keeps the lock: the jobs' calls extend it every third of
// the lifetime, and a lock found gone is reported once.
TEST_F(Lock, KeeperExtendsTheLockWhileTheBatchRuns) {
    ASSERT_TRUE(lock_redis(conn.get(), kKey, 3));
    begin_lock_keeping(kDaemonProfile, conn.get(), kKey, 3);
    for (int i = 0; i < 40; ++i) {  // four seconds of work, beyond the lifetime
        keep_lock_alive();
        pause_for(100ms);
    }
    EXPECT_EQ(redis->get(kKey).value_or(""), std::to_string(getpid()));
    EXPECT_GE(redis->ttl(kKey), 1);
    // Another process took the key meanwhile: not extended, reported once.
    redis->cmd({"SET", kKey, "4242", "EX", "50"});
    keep_lock_alive(true);
    keep_lock_alive(true);
    end_lock_keeping();
    EXPECT_EQ(redis->ttl(kKey), 50);
    ASSERT_TRUE(log->wait_for("velstrand: lock lock:velstrand was lost during the batch", 2s));
    EXPECT_EQ(log->count("was lost"), 1u);
    EXPECT_EQ(log->matching("was lost")[0].priority, LOG_WARNING);
    // Outside a batch nothing is sent.
    redis->del(kKey);
    keep_lock_alive(true);
    EXPECT_FALSE(redis->exists(kKey));
}

// A transaction that runs longer than the lock's whole lifetime: the server would let the lock
// expire inside it, so the jobs bracket their transactions. The lock is ours throughout and has
// a full lifetime once it ends; a lock another process took before is left as it is.
TEST_F(Lock, BracketKeepsTheLockThroughATransactionLongerThanItsLifetime) {
    // Busy on the server for 1.5 s, as a large transaction is.
    const std::string busy =
        "local t = redis.call('TIME') local from = t[1] * 1000000 + t[2] repeat "
        "t = redis.call('TIME') until t[1] * 1000000 + t[2] - from > 1500000 return 1";
    Redis job;
    const auto run_bracketed = [&] {
        const LockBracket bracket = lock_bracket();
        if (bracket.empty()) {
            ADD_FAILURE() << "no bracket: the lock was lost before";
            return;
        }
        job.cmd({"MULTI"});
        job.cmd(bracket.hold);
        job.cmd({"EVAL", busy, "0"});
        job.cmd(bracket.refresh);
        RedisReply answer = job.cmd({"EXEC"});
        EXPECT_TRUE(answer && answer->type == REDIS_REPLY_ARRAY && answer->elements == 3);
        if (answer && answer->type == REDIS_REPLY_ARRAY && answer->elements == 3) {
            lock_refresh_answered(answer->element[2]);
        }
    };

    ASSERT_TRUE(lock_redis(conn.get(), kKey, 1));
    begin_lock_keeping(kDaemonProfile, conn.get(), kKey, 1);
    run_bracketed();
    EXPECT_EQ(redis->get(kKey).value_or(""), std::to_string(getpid()));
    const RedisReply left = redis->cmd({"PTTL", kKey});
    ASSERT_TRUE(left && left->type == REDIS_REPLY_INTEGER);
    EXPECT_GT(left->integer, 500);
    EXPECT_LE(left->integer, 1000);
    EXPECT_EQ(log->count("was lost"), 0u) << log->dump();

    redis->cmd({"SET", kKey, "4242", "EX", "50"});
    ASSERT_EQ(log->count("was lost"), 0u);
    run_bracketed();
    end_lock_keeping();
    EXPECT_EQ(redis->get(kKey).value_or(""), "4242");
    const long long foreign = redis->ttl(kKey);  // neither held (-1) nor extended
    EXPECT_GE(foreign, 47);
    EXPECT_LE(foreign, 50);
    ASSERT_TRUE(log->wait_for("velstrand: lock lock:velstrand was lost during the batch", 2s));
}

// A holder that lives under another user cannot be signalled (EPERM) but is alive: the lock stays
// busy, for as long as it lives.
TEST_F(Lock, HolderOfAnotherUserIsAlive) {
    const pid_t holder = spawn_named_process("rootholder");
    redis->set(kKey, std::to_string(holder));
    const pid_t daemon = start_daemon("velstrand", StartOptions{.uid = 65534});
    ASSERT_TRUE(
        log->wait_for("velstrand: lock lock:velstrand is busy, will retry after sleep", 5s, 2))
        << log->dump();
    EXPECT_EQ(redis->get(kKey).value_or(""), std::to_string(holder));
    EXPECT_EQ(log->count("acquired"), 0u);
    EXPECT_EQ(log->count("velstrand started by system 65534"), 1u);
    kill(daemon, SIGTERM);
    EXPECT_TRUE(wait_exit(daemon, 20s).has_value());
}

}  // namespace
}  // namespace vt
