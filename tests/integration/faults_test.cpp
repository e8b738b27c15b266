// Faults injected into the real programs against a real server: the server killed and restarted
// on its append-only file, daemons killed or stopped mid-batch, writes refused, several daemons
// on one server, a lock that outlives its lifetime or vanishes. Every case ends by reading back
// the whole server: the events it holds across the main list and every per-type list must be
// the events produced, each exactly once.
#include <signal.h>
#include <sys/wait.h>
#include <syslog.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <map>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "harness/harness.h"

namespace vt {
namespace {

using Clock = std::chrono::steady_clock;

// The sanitizer build runs several times slower; its cases move fewer events.
#ifdef VT_SANITIZED
constexpr int kScale = 10;
#else
constexpr int kScale = 1;
#endif

const std::string kMain = "suricata";
const std::string kLockKey = "lock:velstrand";
const std::vector<std::string> kTypes = {"alert", "dns", "http", "tls", "flow", "fileinfo"};
// Automatic rewrites of the append-only file are the server's own affair and are switched off:
// a kill during one is a fault of the server, not of the daemon.
const std::vector<std::string> kDurable = {
    "--appendonly", "yes", "--appendfsync", "always", "--auto-aof-rewrite-percentage", "0"};

std::string acquired_line(const std::string& prefix = "velstrand") {
    return prefix + ": lock lock:velstrand acquired";
}
std::string released_line(const std::string& prefix = "velstrand") {
    return prefix + ": lock lock:velstrand released";
}
const char* const kLost = "velstrand: lock lock:velstrand was lost during the batch";

long ms_since(Clock::time_point t) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

// The present as the engine writes it, so the retention job keeps the event.
std::string fresh_stamp() {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char text[40];
    std::strftime(text, sizeof text, "%FT%T.000000+0000", &utc);
    return text;
}

// An event in the engine's form, about `size` bytes, unique by tag and n.
std::string make_event(const std::string& type, const std::string& tag, long n, size_t size,
                       const std::string& stamp) {
    std::string e = "{\"timestamp\":\"" + stamp + "\",\"flow_id\":" + std::to_string(n) +
                    ",\"event_type\":\"" + type + "\",\"src_ip\":\"10.0." +
                    std::to_string(n % 250) + ".7\",\"tag\":\"" + tag + "\",\"payload\":\"";
    e.append(size > e.size() + 2 ? size - e.size() - 2 : 0, 'p');
    return e + "\"}";
}

std::vector<std::string> backlog(long count, size_t size, const std::string& tag = "backlog") {
    const std::string stamp = fresh_stamp();
    std::vector<std::string> out;
    out.reserve(static_cast<size_t>(count));
    for (long i = 0; i < count; ++i) {
        out.push_back(
            make_event(kTypes[static_cast<size_t>(i) % kTypes.size()], tag, i, size, stamp));
    }
    return out;
}

// ---------------------------------------------------------------- what the server holds

// Every event the server holds: the main list and every other list but the report's, one
// multiset, sorted.
std::vector<std::string> held_events(Redis& redis) {
    std::vector<std::string> out;
    for (const std::string& key : redis.keys()) {
        if (key == "stats_report" || key == kLockKey) {
            continue;
        }
        for (std::string& e : redis.lrange(key)) {
            out.push_back(std::move(e));
        }
    }
    std::sort(out.begin(), out.end());
    return out;
}

struct Difference {
    std::vector<std::string> missing;  // produced, not held
    std::vector<std::string> extra;    // held beyond what was produced (doubled or foreign)
};

// Compares what the server holds with what was produced, as multisets. An event whose push got
// no answer (the server died under it) may be held once or not at all.
Difference compare_events(Redis& redis, std::vector<std::string> produced,
                          std::vector<std::string> uncertain = {}) {
    const std::vector<std::string> held = held_events(redis);
    std::sort(produced.begin(), produced.end());
    std::sort(uncertain.begin(), uncertain.end());
    Difference d;
    std::set_difference(produced.begin(), produced.end(), held.begin(), held.end(),
                        std::back_inserter(d.missing));
    std::vector<std::string> extra;
    std::set_difference(held.begin(), held.end(), produced.begin(), produced.end(),
                        std::back_inserter(extra));
    std::set_difference(extra.begin(), extra.end(), uncertain.begin(), uncertain.end(),
                        std::back_inserter(d.extra));
    return d;
}

std::string describe(const Difference& d) {
    std::ostringstream out;
    out << d.missing.size() << " missing, " << d.extra.size() << " extra";
    for (size_t i = 0; i < std::min<size_t>(2, d.missing.size()); ++i) {
        out << "\n  missing: " << d.missing[i].substr(0, 120);
    }
    for (size_t i = 0; i < std::min<size_t>(2, d.extra.size()); ++i) {
        out << "\n  extra: " << d.extra[i].substr(0, 120);
    }
    return out.str();
}

// The one check every case ends with: the server holds each produced event exactly once.
void expect_exactly_once(Redis& redis, const std::vector<std::string>& produced,
                         const std::vector<std::string>& uncertain = {}) {
    const Difference d = compare_events(redis, produced, uncertain);
    EXPECT_TRUE(d.missing.empty() && d.extra.empty()) << describe(d);
}

// The clients the server lists, each as its fields (id, addr, multi, cmd, ...).
std::vector<std::map<std::string, std::string>> clients(Redis& redis) {
    std::vector<std::map<std::string, std::string>> out;
    RedisReply r = redis.cmd({"CLIENT", "LIST"});
    if (!r || r->type != REDIS_REPLY_STRING) {
        return out;
    }
    std::istringstream lines(std::string(r->str, r->len));
    std::string line;
    while (std::getline(lines, line)) {
        std::map<std::string, std::string> fields;
        std::istringstream words(line);
        std::string word;
        while (words >> word) {
            const size_t eq = word.find('=');
            if (eq != std::string::npos) {
                fields[word.substr(0, eq)] = word.substr(eq + 1);
            }
        }
        out.push_back(std::move(fields));
    }
    return out;
}

// Commands queued by the client inside MULTI, the most of any client; -1 when none is in one.
long long most_queued(Redis& redis) {
    long long most = -1;
    for (const auto& c : clients(redis)) {
        auto it = c.find("multi");
        if (it != c.end()) {
            most = std::max(most, std::stoll(it->second));
        }
    }
    return most;
}

// Waits until a client has queued at least n commands inside one transaction.
bool wait_until_queued(Redis& redis, long long n, Millis timeout = 60s) {
    const auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
        if (most_queued(redis) >= n) {
            return true;
        }
        std::this_thread::sleep_for(1ms);
    }
    return false;
}

// Waits until a client's last command is `cmd` (lower case, as the server lists it).
bool wait_until_command(Redis& redis, const std::string& cmd, Millis timeout = 60s) {
    const auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
        for (const auto& c : clients(redis)) {
            auto it = c.find("cmd");
            if (it != c.end() && it->second == cmd) {
                return true;
            }
        }
        std::this_thread::sleep_for(1ms);
    }
    return false;
}

// ---------------------------------------------------------------- producer

// The engine's stand-in: pushes one event at a time onto the main list, at the head (the
// engine's plain list mode) or at the tail (rpush), until stopped. It rides out a dead server,
// connecting again until it answers. Knows what it produced and when.
class Producer {
  public:
    Producer(bool at_head, std::string tag, std::chrono::microseconds pause = 300us)
        : at_head_(at_head), tag_(std::move(tag)), pause_(pause) {}
    ~Producer() { stop(); }

    void start() {
        stop_ = false;
        thread_ = std::thread([this] { run(); });
    }
    void stop() {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    // Events the server acknowledged.
    std::vector<std::string> acknowledged() const {
        std::lock_guard<std::mutex> lock(mu_);
        std::vector<std::string> out;
        for (const Sent& s : sent_) {
            if (s.acknowledged) {
                out.push_back(s.text);
            }
        }
        return out;
    }
    // Events whose push got no answer: the server may or may not have stored them.
    std::vector<std::string> uncertain() const {
        std::lock_guard<std::mutex> lock(mu_);
        std::vector<std::string> out;
        for (const Sent& s : sent_) {
            if (!s.acknowledged) {
                out.push_back(s.text);
            }
        }
        return out;
    }
    // Whether the event was pushed in [from, to].
    bool pushed_between(const std::string& text, Clock::time_point from,
                        Clock::time_point to) const {
        std::lock_guard<std::mutex> lock(mu_);
        for (const Sent& s : sent_) {
            if (s.text == text) {
                return s.at >= from && s.at <= to;
            }
        }
        return false;
    }
    size_t pushed_between(Clock::time_point from, Clock::time_point to) const {
        std::lock_guard<std::mutex> lock(mu_);
        size_t n = 0;
        for (const Sent& s : sent_) {
            n += s.at >= from && s.at <= to;
        }
        return n;
    }

  private:
    struct Sent {
        std::string text;
        Clock::time_point at;
        bool acknowledged = false;
    };

    void run() {
        const std::string stamp = fresh_stamp();
        RedisContext c;
        for (long n = 0; !stop_;) {
            if (!c || c->err) {
                c.reset(redisConnect("127.0.0.1", 6379));
                if (!c || c->err) {
                    std::this_thread::sleep_for(5ms);
                    continue;
                }
            }
            const std::string e =
                make_event(kTypes[static_cast<size_t>(n) % kTypes.size()], tag_, n, 200, stamp);
            const Clock::time_point at = Clock::now();
            const char* argv[] = {at_head_ ? "LPUSH" : "RPUSH", kMain.c_str(), e.c_str()};
            const size_t lens[] = {5, kMain.size(), e.size()};
            RedisReply r(static_cast<redisReply*>(redisCommandArgv(c.get(), 3, argv, lens)));
            if (r && r->type == REDIS_REPLY_ERROR) {
                // Refused (out of memory, loading): not stored; the same event is tried again.
                std::this_thread::sleep_for(5ms);
                continue;
            }
            {
                std::lock_guard<std::mutex> lock(mu_);
                sent_.push_back({e, at, r != nullptr && r->type == REDIS_REPLY_INTEGER});
            }
            ++n;
            std::this_thread::sleep_for(pause_);
        }
    }

    const bool at_head_;
    const std::string tag_;
    const std::chrono::microseconds pause_;
    std::atomic<bool> stop_{false};
    mutable std::mutex mu_;
    std::vector<Sent> sent_;
    std::thread thread_;
};

// ---------------------------------------------------------------- fixture

class Faults : public IntegrationTest {
  protected:
    // A fresh server that syncs its append-only file at every write, so a restarted one holds
    // every write it acknowledged; the file of an earlier case in the same run is removed first.
    void use_durable_server() {
        redis.reset();
        server.reset();
        std::filesystem::remove_all("/mnt/redis/appendonlydir");
        server = std::make_unique<RedisServer>(kDurable);
        server->start();
        redis = std::make_unique<Redis>();
    }
    void kill_server() {
        redis.reset();
        server->kill();
    }
    void restart_server() {
        server->start();
        redis = std::make_unique<Redis>();
    }

    // Lines from process `pid` whose message is exactly `text`.
    size_t count_from(pid_t pid, const std::string& text) {
        size_t n = 0;
        for (const LogLine& l : log->lines()) {
            n += l.pid == pid && l.message == text;
        }
        return n;
    }
    bool wait_line(pid_t pid, const std::string& text, Millis timeout = 60s, size_t n = 1) {
        return log->wait_until(
            [&](const std::vector<LogLine>& ls) {
                size_t c = 0;
                for (const LogLine& l : ls) {
                    c += l.pid == pid && l.message == text;
                }
                return c >= n;
            },
            timeout);
    }

    // SIGTERM and wait; the stop comes in the pause, so the daemon ends at once.
    void stop_daemon(pid_t pid) {
        kill(pid, SIGTERM);
        const std::optional<int> status = wait_exit(pid, 30s);
        ASSERT_TRUE(status.has_value()) << "daemon " << pid << " did not stop";
        EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
    }

    // Starts a daemon, waits for one whole batch after which the main list is empty, stops it.
    void drain_with_one_daemon(Millis timeout = 120s) {
        const pid_t d = start_daemon("velstrand");
        const auto deadline = Clock::now() + timeout;
        for (size_t batches = 1; Clock::now() < deadline; ++batches) {
            ASSERT_TRUE(wait_line(d, released_line(),
                                  std::chrono::duration_cast<Millis>(deadline - Clock::now()) + 1ms,
                                  batches))
                << log->dump();
            if (redis->llen(kMain) == 0) {
                break;
            }
        }
        EXPECT_EQ(redis->llen(kMain), 0);
        stop_daemon(d);
    }

    // With a producer at the head, a run killed between the fan-out's two transactions may lose
    // events that arrived during it and leave behind filed backlog events (the tail the removal
    // did not reach); nothing else may differ.
    void expect_only_window_differences(const Difference& d, const Producer& producer,
                                        std::vector<std::string> backlog_events,
                                        Clock::time_point started, Clock::time_point killed) {
        std::sort(backlog_events.begin(), backlog_events.end());
        for (const std::string& e : d.missing) {
            EXPECT_TRUE(producer.pushed_between(e, started, killed))
                << "lost outside the window: " << e.substr(0, 160);
        }
        for (const std::string& e : d.extra) {
            EXPECT_TRUE(producer.pushed_between(e, started, killed) ||
                        std::binary_search(backlog_events.begin(), backlog_events.end(), e))
                << "doubled outside the window: " << e.substr(0, 160);
        }
        record("head_arrivals_during_killed_run",
               static_cast<long long>(producer.pushed_between(started, killed)));
        record("lost_in_window", static_cast<long long>(d.missing.size()));
        record("doubled_in_window", static_cast<long long>(d.extra.size()));
    }

    void record(const std::string& key, long long value) {
        RecordProperty(key, std::to_string(value));
        std::printf("[ figure ] %s = %lld\n", key.c_str(), value);
    }
};

// Checks from the lock lines (in the order the socket received them) that no batch began before
// the one before it had ended: each acquisition follows the previous holder's release. A batch
// logs its acquisition after taking the lock and its release after giving it back, so its jobs
// lie strictly between the two lines. Returns the number of batches.
size_t expect_batches_never_overlap(const std::vector<LogLine>& lines) {
    pid_t holder = -1;
    size_t batches = 0;
    for (const LogLine& l : lines) {
        const bool acquired =
            l.message == acquired_line() || l.message == acquired_line("velstrandtest");
        const bool released =
            l.message == released_line() || l.message == released_line("velstrandtest");
        if (acquired) {
            EXPECT_EQ(holder, -1) << "pid " << l.pid << " began a batch while pid " << holder
                                  << " was running one";
            holder = l.pid;
            ++batches;
        } else if (released) {
            EXPECT_EQ(holder, l.pid) << "pid " << l.pid << " ended a batch it had not begun";
            holder = -1;
        }
    }
    return batches;
}

// ---------------------------------------------------------------- the server killed

// The server dies while the fan-out of 300,000 events queues its transaction, or once it is
// queued whole (EXEC may be running): the restarted server holds the events once, wherever
// they are; the daemon, without a server at its next cycle, exits 1; started again, it moves
// the rest.
class ServerKilledMidFanOut : public Faults, public ::testing::WithParamInterface<int> {};

TEST_P(ServerKilledMidFanOut, RestartedServerHoldsEveryEventOnceAndTheNextDaemonFinishes) {
    const long count = 300000 / kScale;
    const long long queued_at = GetParam() == 0 ? count / 2 : count * 95 / 100;
    use_durable_server();
    const std::vector<std::string> events = backlog(count, 300);
    redis->rpush(kMain, events);
    const pid_t daemon = start_daemon("velstrand");
    ASSERT_TRUE(wait_until_queued(*redis, queued_at)) << log->dump();
    kill_server();

    const std::optional<int> status = wait_exit(daemon, 30s);
    ASSERT_TRUE(status.has_value()) << "the daemon went on without a server";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 1)
        << "wait status " << *status << (WIFSIGNALED(*status) ? " (killed by a signal)" : "");
    EXPECT_TRUE(log->wait_for("velstrand: Redis connection error: Connection refused"))
        << log->dump();

    restart_server();
    const long long left = redis->llen(kMain);
    EXPECT_TRUE(left == 0 || left == count) << "half a transaction: " << left << " left";
    expect_exactly_once(*redis, events);

    drain_with_one_daemon();
    expect_exactly_once(*redis, events);
}

INSTANTIATE_TEST_SUITE_P(Points, ServerKilledMidFanOut, ::testing::Values(0, 1),
                         [](const ::testing::TestParamInfo<int>& i) {
                             return i.param == 0 ? std::string("HalfQueued")
                                                 : std::string("NearlyAllQueued");
                         });

// The same with the engine inserting at the head all the while: only the events that arrived
// at the head during the killed run may be lost or doubled, inside the window between the
// fan-out's two transactions.
TEST_F(Faults, ServerKilledMidFanOutWithHeadProducerLosesOnlyInsideTheWindow) {
    const long count = 300000 / kScale;
    use_durable_server();
    const std::vector<std::string> events = backlog(count, 300);
    redis->rpush(kMain, events);
    Producer producer(true, "head");
    producer.start();
    const Clock::time_point started = Clock::now();
    const pid_t daemon = start_daemon("velstrand");
    ASSERT_TRUE(wait_until_queued(*redis, count * 95 / 100)) << log->dump();
    kill_server();
    const Clock::time_point killed = Clock::now();
    const std::optional<int> status = wait_exit(daemon, 30s);
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 1) << *status;
    restart_server();
    // One batch while the producer goes on, then the rest once it has stopped.
    const pid_t next = start_daemon("velstrand");
    ASSERT_TRUE(wait_line(next, released_line())) << log->dump();
    producer.stop();
    stop_daemon(next);
    drain_with_one_daemon();

    std::vector<std::string> produced = events;
    const std::vector<std::string> pushed = producer.acknowledged();
    produced.insert(produced.end(), pushed.begin(), pushed.end());
    const Difference d = compare_events(*redis, produced, producer.uncertain());
    expect_only_window_differences(d, producer, events, started, killed);
}

// The server dies while the retention job reads a large list or while its rewrite is queued:
// the restarted server holds the list whole or trimmed, never short of a kept entry; the next
// daemon trims it.
class ServerKilledMidRetention : public Faults, public ::testing::WithParamInterface<int> {};

TEST_P(ServerKilledMidRetention, ListIsWholeOrTrimmedAndTheNextDaemonTrimsIt) {
    // The rewrite is caught by polling while its pushes are queued: the sanitizer build moves a
    // third of the entries, not a tenth, so that window stays wide enough to be seen.
    const long count = kScale == 1 ? 300000 : 100000;
    use_durable_server();
    Settings s;
    s.keys = std::vector<std::string>{"alert"};
    write_settings(s);
    std::vector<std::string> kept = backlog(count / 2, 300, "kept");
    std::vector<std::string> stale;
    for (long i = 0; i < count / 2; ++i) {
        stale.push_back(make_event("alert", "stale", i, 300, "2020-01-01T00:00:00.000000+0000"));
    }
    std::vector<std::string> list;
    for (long i = 0; i < count / 2; ++i) {
        list.push_back(kept[static_cast<size_t>(i)]);
        list.push_back(stale[static_cast<size_t>(i)]);
    }
    redis->rpush("alert", list);
    const pid_t daemon = start_daemon("velstrand");
    if (GetParam() == 0) {
        ASSERT_TRUE(wait_until_command(*redis, "lrange")) << log->dump();
    } else {
        // The lock's hold and the trim: the rewrite is under way (the sanitizer build's smaller
        // list has only a few pushes after them, queued within milliseconds).
        ASSERT_TRUE(wait_until_queued(*redis, 2)) << log->dump();
    }
    kill_server();
    const std::optional<int> status = wait_exit(daemon, 30s);
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 1)
        << "wait status " << *status << (WIFSIGNALED(*status) ? " (killed by a signal)" : "");

    restart_server();
    const Difference whole = compare_events(*redis, list);
    const Difference trimmed = compare_events(*redis, kept);
    EXPECT_TRUE((whole.missing.empty() && whole.extra.empty()) ||
                (trimmed.missing.empty() && trimmed.extra.empty()))
        << "neither whole (" << describe(whole) << ") nor trimmed (" << describe(trimmed) << ")";

    drain_with_one_daemon();
    expect_exactly_once(*redis, kept);
}

INSTANTIATE_TEST_SUITE_P(Points, ServerKilledMidRetention, ::testing::Values(0, 1),
                         [](const ::testing::TestParamInfo<int>& i) {
                             return i.param == 0 ? std::string("WhileReading")
                                                 : std::string("WhileRewriting");
                         });

// ---------------------------------------------------------------- the daemon killed

// The daemon is killed at a random moment of a batch (fan-out, retention or report); a second
// daemon finds the holder gone, takes the lock over in its first cycle and completes the work.
// Seeds are fixed and printed, so a failure can be run again.
struct KillCase {
    unsigned seed;
    bool head_producer;
};

void PrintTo(const KillCase& k, std::ostream* os) {
    *os << "seed " << k.seed << (k.head_producer ? " with a head producer" : "");
}

class DaemonKilled : public Faults, public ::testing::WithParamInterface<KillCase> {};

TEST_P(DaemonKilled, SecondDaemonTakesTheStaleLockAtOnceAndCompletesTheBatch) {
    const KillCase kc = GetParam();
    std::mt19937 random(kc.seed);
    const long count = 150000 / kScale;
    Settings s;
    s.keys = kTypes;
    write_settings(s);
    std::vector<std::string> events = backlog(count, 300);
    redis->rpush(kMain, events);
    // Old entries in the per-type lists give the retention job work to do: they must be gone,
    // and nothing else, once the second daemon is through.
    for (const std::string& type : kTypes) {
        std::vector<std::string> old;
        for (int i = 0; i < 5000 / kScale; ++i) {
            old.push_back(make_event(type, "old", i, 300, "2020-01-01T00:00:00.000000+0000"));
        }
        redis->rpush(type, old);
    }
    Producer producer(kc.head_producer, "producer");
    if (kc.head_producer) {
        producer.start();
    }
    const Clock::time_point started = Clock::now();
    const pid_t first = start_daemon("velstrand");
    ASSERT_TRUE(wait_line(first, acquired_line())) << log->dump();
    const int delay_ms = std::uniform_int_distribution<int>(0, kScale == 1 ? 1200 : 450)(random);
    pause_for(Millis(delay_ms));
    const long long queued = most_queued(*redis);
    kill_and_reap(first);
    const Clock::time_point killed = Clock::now();
    std::printf("[ seed %u ] killed %d ms after the lock was taken; %s; queued %lld\n", kc.seed,
                delay_ms, count_from(first, released_line()) ? "after the batch" : "mid-batch",
                queued);

    const pid_t second = start_daemon("velstrand");
    ASSERT_TRUE(log->wait_until(
        [&](const std::vector<LogLine>& ls) {
            for (const LogLine& l : ls) {
                if (l.pid == second &&
                    l.message.find(": lock lock:velstrand ") != std::string::npos) {
                    return true;
                }
            }
            return false;
        },
        30s));
    EXPECT_EQ(count_from(second, "velstrand: lock lock:velstrand is busy, will retry after sleep"),
              0u)
        << "the second daemon waited for the dead holder";
    ASSERT_TRUE(wait_line(second, released_line())) << log->dump();
    producer.stop();
    stop_daemon(second);
    drain_with_one_daemon();

    std::vector<std::string> produced = events;
    const std::vector<std::string> pushed = producer.acknowledged();
    produced.insert(produced.end(), pushed.begin(), pushed.end());
    const Difference d = compare_events(*redis, produced, producer.uncertain());
    if (!kc.head_producer) {
        EXPECT_TRUE(d.missing.empty() && d.extra.empty()) << describe(d);
        return;
    }
    expect_only_window_differences(d, producer, events, started, killed);
}

INSTANTIATE_TEST_SUITE_P(Seeds, DaemonKilled,
                         ::testing::Values(KillCase{1, false}, KillCase{2, false},
                                           KillCase{3, false}, KillCase{4, false},
                                           KillCase{5, true}, KillCase{6, true}, KillCase{7, true}),
                         [](const ::testing::TestParamInfo<KillCase>& i) {
                             return std::string(i.param.head_producer ? "HeadProducerSeed"
                                                                      : "Seed") +
                                    std::to_string(i.param.seed);
                         });

// ---------------------------------------------------------------- a stop mid-run

// SIGTERM while a large fan-out queues its transaction: the transaction is discarded (or, if
// EXEC had gone out, has taken place whole), the lock is released, and the process ends at
// once instead of after its 100-second pause.
TEST_F(Faults, SigtermMidFanOutMovesAllOrNothingReleasesTheLockAndEndsAtOnce) {
    const long count = 300000 / kScale;
    Settings s;
    s.sleeping_time = 100;
    write_settings(s);
    const std::vector<std::string> events = backlog(count, 300);
    redis->rpush(kMain, events);
    const pid_t daemon = start_daemon("velstrand");
    ASSERT_TRUE(wait_until_queued(*redis, count / 2)) << log->dump();
    const Clock::time_point stopped = Clock::now();
    kill(daemon, SIGTERM);
    const std::optional<int> status = wait_exit(daemon, 60s);
    ASSERT_TRUE(status.has_value()) << "the daemon did not end";
    const long took = ms_since(stopped);
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
    EXPECT_LT(took, 60000) << "the daemon slept its pause before ending";
    record("ms_from_sigterm_to_exit", took);
    const long long left = redis->llen(kMain);
    EXPECT_TRUE(left == 0 || left == count) << left;
    expect_exactly_once(*redis, events);
    EXPECT_FALSE(redis->exists(kLockKey));
    EXPECT_EQ(count_from(daemon, released_line()), 1u) << log->dump();
    EXPECT_EQ(count_from(daemon, "velstrand: got signal 15, stopping..."), 1u) << log->dump();
}

// ---------------------------------------------------------------- writes refused

// The server starts refusing writes (out of memory, no eviction) while a batch queues its
// fan-out: nothing is lost, the failure is logged, and once writes are allowed again the next
// cycle moves everything.
TEST_F(Faults, RefusedWritesLoseNothingAreLoggedAndTheNextCycleGoesOn) {
    const long count = 100000 / kScale;
    Settings s;
    s.keys = kTypes;
    write_settings(s);
    const std::vector<std::string> events = backlog(count, 300);
    redis->rpush(kMain, events);
    const pid_t daemon = start_daemon("velstrand");
    ASSERT_TRUE(wait_until_queued(*redis, 1)) << log->dump();
    redis->cmd({"CONFIG", "SET", "maxmemory-policy", "noeviction"});
    redis->cmd({"CONFIG", "SET", "maxmemory", "1"});
    ASSERT_TRUE(wait_line(daemon, released_line())) << log->dump();
    const std::vector<LogLine> failed = log->matching("redistransfer: transaction failed! uid=0");
    ASSERT_EQ(failed.size(), 1u) << log->dump();
    EXPECT_EQ(failed[0].priority, LOG_ALERT);
    EXPECT_EQ(redis->llen(kMain), count);
    expect_exactly_once(*redis, events);

    // A cycle or two with writes still refused, then allowed again.
    pause_for(1500ms);
    EXPECT_EQ(redis->llen(kMain), count);
    const size_t batches = count_from(daemon, released_line());
    redis->cmd({"CONFIG", "SET", "maxmemory", "0"});
    const auto deadline = Clock::now() + 60s;
    while (redis->llen(kMain) != 0 && Clock::now() < deadline) {
        pause_for(50ms);
    }
    EXPECT_EQ(redis->llen(kMain), 0);
    ASSERT_TRUE(wait_line(daemon, released_line(), 60s, batches + 1)) << log->dump();
    stop_daemon(daemon);
    expect_exactly_once(*redis, events);
    EXPECT_EQ(log->count("velstrand: lock lock:velstrand acquired"),
              count_from(daemon, released_line()));
}

// ---------------------------------------------------------------- several daemons

// Several daemons (and the test build) share one server for a minute, with events arriving all
// the time: their batches never overlap and every event ends in exactly one per-type list. The
// sanitizer build, several times slower, shares it for 20 seconds.
class SharedServer : public Faults, public ::testing::WithParamInterface<int> {};

TEST_P(SharedServer, BatchesNeverOverlapAndEveryEventIsFiledOnce) {
    const int daemons = GetParam();
#ifdef VT_SANITIZED
    const Millis span = 20s;
#else
    const Millis span = 60s;
#endif
    Settings s;
    s.keys = kTypes;
    write_settings(s);
    Producer producer(false, "shared", 200us);
    producer.start();
    std::vector<pid_t> pids;
    for (int i = 0; i < daemons; ++i) {
        pids.push_back(start_daemon("velstrand"));
    }
    if (daemons == 3) {
        pids.push_back(start_daemon("velstrandtest"));
    }
    pause_for(span);
    producer.stop();
    // One more batch after the last event, by whichever daemon.
    const size_t before = log->count(": lock lock:velstrand released");
    ASSERT_TRUE(log->wait_for(": lock lock:velstrand released", 30s, before + 2)) << log->dump();
    for (const pid_t p : pids) {
        if (p == pids.back() && daemons == 3) {
            kill_and_reap(p);  // the test build may have ended by itself already
        } else {
            stop_daemon(p);
        }
    }
    EXPECT_EQ(redis->llen(kMain), 0);
    const std::vector<std::string> produced = producer.acknowledged();
    EXPECT_GT(produced.size(), 1000u);
    expect_exactly_once(*redis, produced, producer.uncertain());
    const size_t batches = expect_batches_never_overlap(log->lines());
    record("batches", static_cast<long long>(batches));
    record("events", static_cast<long long>(produced.size()));
    EXPECT_EQ(log->count(kLost), 0u) << log->dump();
    // Each daemon had its turns.
    for (const pid_t p : pids) {
        EXPECT_GT(count_from(p, acquired_line()) + count_from(p, acquired_line("velstrandtest")),
                  0u)
            << "pid " << p << " never ran a batch";
    }
}

INSTANTIATE_TEST_SUITE_P(Daemons, SharedServer, ::testing::Values(2, 3),
                         [](const ::testing::TestParamInfo<int>& i) {
                             return i.param == 2 ? std::string("TwoDaemons")
                                                 : std::string("ThreeDaemonsAndTheTestBuild");
                         });

// ---------------------------------------------------------------- the lock's lifetime

// A batch over a million events outlasts the lock's two-second lifetime many times over; the
// holder keeps extending the lock, so a second daemon that tries every second waits until the
// batch is over.
TEST_F(Faults, BatchOutlastingTheLockLifetimeKeepsTheLockFromAnotherDaemon) {
    const long count = 1000000 / kScale;
    Settings s;
    s.lock_expiration_time = 2;
    s.keys = kTypes;
    write_settings(s);
    const std::vector<std::string> events = backlog(count, 120);
    redis->rpush(kMain, events);
    const Clock::time_point started = Clock::now();
    const pid_t first = start_daemon("velstrand");
    ASSERT_TRUE(wait_line(first, acquired_line())) << log->dump();
    const pid_t second = start_daemon("velstrand");
    ASSERT_TRUE(wait_line(first, released_line(), 120s)) << log->dump();
    record("ms_first_batch", ms_since(started));
    ASSERT_TRUE(wait_line(second, released_line(), 60s)) << log->dump();
    stop_daemon(first);
    stop_daemon(second);
    expect_batches_never_overlap(log->lines());
    EXPECT_EQ(log->count(kLost), 0u) << log->dump();
    EXPECT_GT(count_from(second, "velstrand: lock lock:velstrand is busy, will retry after sleep"),
              0u)
        << "the second daemon never met the first one's lock";
    EXPECT_EQ(redis->llen(kMain), 0);
    expect_exactly_once(*redis, events);
}

// The lock deleted by hand while a long batch runs: the holder's next refresh finds it gone and
// says so; the events are still filed once.
TEST_F(Faults, LockDeletedMidBatchIsReportedLost) {
    const long count = 300000 / kScale;
    Settings s;
    s.lock_expiration_time = 2;
    write_settings(s);
    const std::vector<std::string> events = backlog(count, 300);
    redis->rpush(kMain, events);
    const pid_t daemon = start_daemon("velstrand");
    ASSERT_TRUE(wait_until_queued(*redis, 1000)) << log->dump();
    redis->del(kLockKey);
    ASSERT_TRUE(wait_line(daemon, kLost, 30s)) << log->dump();
    ASSERT_TRUE(wait_line(daemon, released_line())) << log->dump();
    stop_daemon(daemon);
    const std::vector<LogLine> lost = log->matching(kLost);
    ASSERT_EQ(lost.size(), 1u);
    EXPECT_EQ(lost[0].priority, LOG_WARNING);
    expect_exactly_once(*redis, events);
}

}  // namespace
}  // namespace vt
