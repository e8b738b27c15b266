// The integration harness. Every integration case runs in a namespace of its own (mount, net
// and pid; see namespace_main.cpp): the test binary is the namespace's init, so it reaps the
// detached daemon and sees only the case's own processes, and everything it started dies with it.
// Inside, the case has a private loopback with its own redis-server on 127.0.0.1:6379, a private
// /etc/quellbay, a small private /dev whose /dev/log is the case's own datagram socket, and a
// tmpfs at /mnt for scratch files. Nothing of the host's /etc or /dev is written.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "redis/redis.h"

namespace vt {

using namespace std::chrono_literals;
using Millis = std::chrono::milliseconds;

// ---------------------------------------------------------------- syslog

// One datagram as glibc's syslog(3) sends it: "<PRI>Mmm dd hh:mm:ss IDENT[PID]: MESSAGE".
struct LogLine {
    int priority = -1;  // 0..7
    int facility = -1;  // already shifted down: LOG_USER is 1
    std::string ident;  // e.g. "velstrand"
    int pid = -1;       // -1 when the line carries no [pid]
    std::string message;
    std::string raw;
};

// Parses one datagram; nullopt when it is not in glibc's form.
std::optional<LogLine> parse_syslog_datagram(const std::string& datagram);

// The case's /dev/log. A thread drains the socket continuously, so a daemon never blocks on it.
class Syslog {
  public:
    Syslog();  // binds /dev/log (mode 0666, so unprivileged daemons can log too)
    ~Syslog();
    Syslog(const Syslog&) = delete;
    Syslog& operator=(const Syslog&) = delete;

    // Every line received so far, including all that any process sent before the call.
    std::vector<LogLine> lines() const;
    // Lines whose message contains `needle`.
    std::vector<LogLine> matching(const std::string& needle) const;
    size_t count(const std::string& needle) const { return matching(needle).size(); }
    // Waits until `n` lines whose message contains `needle` have arrived; false on time-out.
    bool wait_for(const std::string& needle, Millis timeout = 10s, size_t n = 1) const;
    // Waits until pred(lines()) holds; false on time-out.
    bool wait_until(const std::function<bool(const std::vector<LogLine>&)>& pred,
                    Millis timeout = 10s) const;
    void clear();
    // All lines, one per line as "prio ident[pid]: message", for failure messages.
    std::string dump() const;

  private:
    void drain();
    // Sends a marker datagram and waits until the drain thread has seen it: datagrams queue in
    // order, so everything sent before it has then been stored.
    void settle() const;
    int fd_ = -1;
    int marker_fd_ = -1;
    int stop_pipe_[2] = {-1, -1};
    mutable std::mutex mu_;
    mutable std::condition_variable seen_;
    mutable unsigned long markers_sent_ = 0;
    unsigned long markers_seen_ = 0;
    std::vector<LogLine> lines_;
    std::thread thread_;
};

// ---------------------------------------------------------------- redis

// A redis-server of the case's own on 127.0.0.1:6379, data in /mnt/redis. Without persistence
// unless extra arguments say otherwise (e.g. {"--appendonly", "yes", "--appendfsync", "always"}).
class RedisServer {
  public:
    explicit RedisServer(std::vector<std::string> extra_args = {});
    ~RedisServer();  // SIGKILL and reap
    void start();    // waits until it answers PING
    void stop();     // SHUTDOWN NOSAVE-like: SIGTERM and reap
    void kill();     // SIGKILL and reap
    pid_t pid() const { return pid_; }

  private:
    std::vector<std::string> args_;
    pid_t pid_ = -1;
};

// A plain client for arranging and checking Redis contents. Every call fails the test (with
// ADD_FAILURE) and returns an empty value on a connection error.
class Redis {
  public:
    Redis();  // connects to 127.0.0.1:6379, retrying for up to 5 s
    // Sends one command given as whole arguments (binary safe) and returns its reply.
    RedisReply cmd(const std::vector<std::string>& argv);
    RedisReply cmd(std::initializer_list<std::string> argv) {
        return cmd(std::vector<std::string>(argv));
    }
    std::vector<std::string> lrange(const std::string& key);  // the whole list, head first
    long long llen(const std::string& key);
    bool exists(const std::string& key);
    std::optional<std::string> get(const std::string& key);
    long long ttl(const std::string& key);
    void set(const std::string& key, const std::string& value);
    void rpush(const std::string& key, const std::vector<std::string>& values);  // pipelined
    void del(const std::string& key);
    std::vector<std::string> keys();  // KEYS *
    void flushall();
    redisContext* raw() { return ctx_.get(); }

  private:
    RedisContext ctx_;
};

// ---------------------------------------------------------------- settings

constexpr const char* kConfPath = "/etc/quellbay/conf.cfg";
void write_settings(const std::string& libconfig_text);
void remove_settings();
// A complete settings file: application.settings with the given members. keys is written as a
// libconfig array of strings; pass std::nullopt to leave a member out.
struct Settings {
    std::optional<int> sleeping_time = 1;
    std::optional<int> lock_expiration_time = 100;
    std::optional<std::string> main_key = std::string("suricata");
    std::optional<std::vector<std::string>> keys = std::vector<std::string>{};
    std::optional<int> valid_duration = 24;
    std::string text() const;
};
inline void write_settings(const Settings& s) {
    write_settings(s.text());
}

// ---------------------------------------------------------------- processes

std::string build_path(const std::string& name);  // a file of the build tree, e.g. "velstrand"

struct StartOptions {
    std::optional<uid_t> uid;  // run as this user (and its group) instead of root
    // A command the program runs under, its path appended (PATH searched), e.g.
    // {"valgrind", "--log-file=/mnt/scratch/vg.%p"}. The daemon then goes by the wrapper's
    // process name, which daemon_pids knows for valgrind's tools.
    std::vector<std::string> wrapper = {};
};

// Starts build/<program> (velstrand or velstrandtest) and waits for the started process, which
// forks and exits. Returns its wait status (WIFEXITED/WEXITSTATUS apply) and, in *daemon, the
// pid of the detached child it left behind (-1 if none).
int start_program(const std::string& program, const StartOptions& opts = {},
                  pid_t* daemon = nullptr);

// The daemons (velstrand, velstrandtest) of this namespace, by /proc, zombies included: the
// processes of those names whose parent is the caller, the namespace's init. A program under
// valgrind goes by the tool's name ("memcheck-amd64-"), which counts as a daemon's too.
std::vector<pid_t> daemon_pids();
// Waits for process `pid` (a reparented daemon, or a child) to end; returns its wait status,
// or std::nullopt on time-out. Reaps it.
std::optional<int> wait_exit(pid_t pid, Millis timeout = 30s);
// SIGKILLs and reaps `pid`, so its id is really gone for the lock's liveness probe.
void kill_and_reap(pid_t pid);
// Reaps every zombie child (orphans of the namespace end up here); their statuses are kept for
// wait_exit. The wait and poll helpers call this as they go.
void reap_zombies();

// A process whose name, as pgrep matches it, is `name` (at most 15 characters). It sleeps until
// killed; it allocates `megabytes` first so its memory figures are visible.
pid_t spawn_named_process(const std::string& name, int megabytes = 0);

// Runs argv (PATH searched), waits, and returns the wait status; output captured if wanted.
int run_command(const std::vector<std::string>& argv, std::string* output = nullptr);

// Sleeps while reaping zombies.
void pause_for(Millis d);

// ---------------------------------------------------------------- fixture

// The usual integration case: a syslog socket, a redis-server and a client, and a settings file
// with a one-second pause. TearDown kills every process of the namespace but the test itself.
class IntegrationTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Starts `program`, asserts that the started process exited 0, returns the daemon's pid.
    pid_t start_daemon(const std::string& program = "velstrandtest", const StartOptions& o = {});
    // Runs velstrandtest to its end (five cycles) and returns its wait status.
    int run_test_build(Millis timeout = 60s);

    std::unique_ptr<Syslog> log;
    std::unique_ptr<RedisServer> server;
    std::unique_ptr<Redis> redis;
};

// Kills every process of the namespace except the caller, and reaps them.
void kill_all_other_processes();

}  // namespace vt
