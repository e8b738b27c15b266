// The retention job against a real redis-server: through the test build and the daemon, and by
// calling the job itself inside the case's namespace where a run must be caught mid-way.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "harness/harness.h"
#include "jobs/timeregister.h"

namespace vt {
namespace {

constexpr long kMinute = 60;
constexpr long kHour = 3600;

// The present moved by `seconds`, in UTC; `plus_one` writes the same instant as +01:00 local.
std::string stamp(long seconds, bool plus_one = false) {
    const std::time_t t = std::time(nullptr) + seconds + (plus_one ? kHour : 0);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char text[64];
    std::strftime(text, sizeof text, plus_one ? "%FT%T.654321+01:00" : "%FT%T.123456+0000", &tm);
    return text;
}

std::string event(const std::string& timestamp_member, const std::string& tag) {
    return R"({"timestamp":)" + timestamp_member +
           R"(,"flow_id":1234567890,"event_type":"alert","src_ip":"10.0.0.1","src_port":51234,)"
           R"("dest_ip":"10.0.0.2","dest_port":80,"proto":"TCP","alert":{"signature":")" +
           tag + R"("}})";
}
std::string at(long seconds, const std::string& tag) {
    return event("\"" + stamp(seconds) + "\"", tag);
}

long long calls(Redis& r, const std::string& command) {
    const RedisReply info = r.cmd({"INFO", "commandstats"});
    const std::string text(info->str, info->len);
    const std::string field = "cmdstat_" + command + ":calls=";
    const size_t pos = text.find(field);
    return pos == std::string::npos ? 0 : std::atoll(text.c_str() + pos + field.size());
}

void reset_stats(Redis& r) {
    r.cmd({"CONFIG", "RESETSTAT"});
}

// A big list, head first, of which every other entry is stale; `kept` receives the fresh ones.
std::vector<std::string> half_stale(size_t n, std::vector<std::string>* kept) {
    std::vector<std::string> all;
    const std::string padding(200, 'p');
    for (size_t i = 0; i < n; ++i) {
        all.push_back(at(i % 2 ? -30 * kHour : -kMinute, padding + std::to_string(i)));
        if (i % 2 == 0) {
            kept->push_back(all.back());
        }
    }
    return all;
}

class Retention : public IntegrationTest {};

TEST_F(Retention, TestBuildKeepsTheWindowInOrderAndDropsWhatCannotBeAged) {
    const std::string k1 = at(-24 * kHour - 55 * kMinute, "k1");
    const std::string k2 = event("\"" + stamp(0, true) + "\"", "k2");
    const std::string k3 = at(24 * kHour + 55 * kMinute, "k3");
    const std::string k4 = at(0, "k4") + std::string("\0 trailing bytes", 16);
    const std::string k5 =
        event("\"" + stamp(0).substr(0, 20) + std::string(100000, '7') + "+0000\"", "k5");
    redis->rpush("alert", {
                              k1,
                              at(-25 * kHour - 5 * kMinute, "stale past"),
                              k2,
                              "{not json",
                              k3,
                              R"({"event_type":"alert"})",
                              at(25 * kHour + 5 * kMinute, "stale future"),
                              event("\"2024-01-01T12:00:00Z\"", "zulu"),
                              k4,
                              event(std::string(1000, '[') + std::string(1000, ']'), "deep"),
                              k5,
                              event("1704110400", "number"),
                          });
    const std::string d1 = at(-kMinute, "d1");
    redis->rpush("dns", {d1, at(-48 * kHour, "d2"), event("\"\"", "d3")});
    write_settings(Settings{.keys = std::vector<std::string>{"alert", "missing", "alert", "dns"}});

    const int status = run_test_build();
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

    EXPECT_EQ(redis->lrange("alert"), (std::vector<std::string>{k1, k2, k3, k4, k5}));
    EXPECT_EQ(redis->lrange("dns"), std::vector<std::string>{d1});
    EXPECT_FALSE(redis->exists("missing"));
    // Each bad entry is reported once, by the first run that drops it.
    EXPECT_EQ(log->count("timeregister: JSON parse error for key alert"), 2u);
    EXPECT_EQ(log->count("timeregister: invalid timestamp for key alert: Invalid date format"), 3u);
    EXPECT_EQ(log->count("timeregister: invalid timestamp for key dns: Invalid date format"), 1u);
    EXPECT_EQ(log->count("missing"), 0u);
    EXPECT_EQ(log->count("error in batch"), 0u);
    // The batch went on to the statistics job in every cycle.
    EXPECT_EQ(log->count("velstrandtest: timings ms:"), 5u);
    for (const LogLine& line : log->matching("timeregister:")) {
        EXPECT_EQ(line.priority, 1) << line.raw;
        EXPECT_EQ(line.ident, "velstrand") << line.raw;
    }
}

TEST_F(Retention, RunsKeepOrderAndHonourTheWindowSetting) {
    const std::vector<std::string> fresh = {at(-kMinute, "e1"), at(0, "e2"), at(kMinute, "e3")};
    redis->rpush("alert", {fresh[0], at(-26 * kHour, "old"), fresh[1], fresh[2]});
    write_settings(Settings{.keys = std::vector<std::string>{"alert"}});
    EXPECT_EQ(timeregister(), 0);
    EXPECT_EQ(redis->lrange("alert"), fresh);
    EXPECT_EQ(timeregister(), 0);
    EXPECT_EQ(redis->lrange("alert"), fresh);

    // 12,000 kept entries behind a stale one: read in two pieces, pushed back in several
    // bounded LPUSHes, in their order.
    redis->del("alert");
    std::vector<std::string> many;
    for (int i = 0; i < 12000; ++i) {
        many.push_back(at(-kMinute, "many " + std::to_string(i)));
    }
    redis->rpush("alert", {at(-26 * kHour, "old")});
    redis->rpush("alert", many);
    EXPECT_EQ(timeregister(), 0);
    EXPECT_EQ(redis->lrange("alert"), many);

    // 0 hours: less than an hour either way stays.
    redis->del("alert");
    const std::vector<std::string> near = {at(-50 * kMinute, "near past"),
                                           at(50 * kMinute, "near")};
    redis->rpush("alert",
                 {at(-70 * kMinute, "far past"), near[0], near[1], at(70 * kMinute, "far")});
    write_settings(Settings{.keys = std::vector<std::string>{"alert"}, .valid_duration = 0});
    EXPECT_EQ(timeregister(), 0);
    EXPECT_EQ(redis->lrange("alert"), near);

    // A negative window drops every entry that parses.
    write_settings(Settings{.keys = std::vector<std::string>{"alert"}, .valid_duration = -1});
    EXPECT_EQ(timeregister(), 0);
    EXPECT_FALSE(redis->exists("alert"));

    // No list named, or `keys` a single value: nothing is touched and nothing is said.
    redis->rpush("alert", {at(-30 * kHour, "old")});
    for (const char* keys : {"keys = [];", "keys = \"alert\";", "keys = ();"}) {
        write_settings(std::string("application = { settings = { ") + keys +
                       " valid_duration = 24; }; };");
        EXPECT_EQ(timeregister(), 0) << keys;
        EXPECT_EQ(redis->llen("alert"), 1) << keys;
    }
    EXPECT_EQ(log->count("timeregister"), 0u) << log->dump();
}

TEST_F(Retention, SettingsProblemsEndTheRunBeforeOrAtTheBadName) {
    redis->rpush("alert", {at(-30 * kHour, "old"), at(0, "new")});
    redis->rpush("dns", {at(-30 * kHour, "old")});
    const auto connections = [&] {
        const RedisReply info = redis->cmd({"INFO", "stats"});
        const std::string text(info->str, info->len);
        const std::string field = "total_connections_received:";
        return std::atoll(text.c_str() + text.find(field) + field.size());
    };

    remove_settings();
    const long long before = connections();
    EXPECT_EQ(timeregister(), 1);
    EXPECT_TRUE(log->wait_for("timeregister: I/O error while reading config file. uid=0"));
    EXPECT_EQ(connections(), before);

    write_settings("application = { settings = { keys = [\"alert\"; valid_duration = 24; }; };\n");
    EXPECT_EQ(timeregister(), 1);
    EXPECT_TRUE(log->wait_for("Parse error at /etc/quellbay/conf.cfg:1 - "));

    // Missing or mistyped settings throw before the connection is made.
    for (const char* body :
         {"keys = [\"alert\"];", "keys = [\"alert\"]; valid_duration = 24.0;",
          "keys = [\"alert\"]; valid_duration = \"24\";", "valid_duration = 24;"}) {
        write_settings(std::string("application = { settings = { ") + body + " }; };");
        EXPECT_THROW(timeregister(), std::exception) << body;
    }
    EXPECT_EQ(connections(), before);
    EXPECT_EQ(redis->llen("alert"), 2);

    // A name that is not a text throws when reached, after the lists before it were trimmed.
    write_settings(
        "application = { settings = { keys = ( \"alert\", 5, \"dns\" ); "
        "valid_duration = 24; }; };");
    EXPECT_THROW(timeregister(), std::exception);
    EXPECT_EQ(redis->llen("alert"), 1);
    EXPECT_EQ(redis->llen("dns"), 1);
}

TEST_F(Retention, KeyOfAnotherTypeEndsTheBatchInEveryCycle) {
    redis->set("alert", "not a list");
    redis->rpush("dns", {at(-30 * kHour, "old")});
    write_settings(Settings{.keys = std::vector<std::string>{"alert", "dns"}});
    const int status = run_test_build();
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    const std::vector<LogLine> errors =
        log->matching("velstrandtest: error in batch: Redis LLEN did not return an integer");
    ASSERT_EQ(errors.size(), 5u) << log->dump();
    // The job closed its log on the way out, so the loop's line carries the default identity.
    for (const LogLine& line : errors) {
        EXPECT_EQ(line.ident, "velstrandtest") << line.raw;
    }
    EXPECT_EQ(log->count("timings ms"), 0u);
    EXPECT_EQ(redis->get("alert"), "not a list");
    EXPECT_EQ(redis->llen("dns"), 1);
}

TEST_F(Retention, RefusedWritesLeaveTheListUntouched) {
    const std::vector<std::string> alert = {at(0, "new"), at(-30 * kHour, "old")};
    redis->rpush("alert", alert);
    redis->rpush("dns", {at(-30 * kHour, "old")});
    write_settings(Settings{.keys = std::vector<std::string>{"alert", "dns"}});
    redis->cmd({"CONFIG", "SET", "maxmemory", "1"});
    EXPECT_EQ(timeregister(), 0);
    EXPECT_EQ(redis->lrange("alert"), alert);
    const std::vector<LogLine> refused = log->matching("timeregister: couldn't trim alert: ");
    ASSERT_EQ(refused.size(), 1u) << log->dump();
    EXPECT_EQ(refused[0].priority, 1);
    EXPECT_NE(refused[0].message.find("EXECABORT"), std::string::npos) << refused[0].message;
    // Inside a transaction even a trim is refused; the next list was still tried.
    EXPECT_EQ(log->count("timeregister: couldn't trim dns: EXECABORT"), 1u);
    EXPECT_EQ(redis->llen("dns"), 1);

    redis->cmd({"CONFIG", "SET", "maxmemory", "0"});
    EXPECT_EQ(timeregister(), 0);
    EXPECT_EQ(redis->lrange("alert"), std::vector<std::string>{alert[0]});
    EXPECT_FALSE(redis->exists("dns"));
}

// Another client that follows the server with MONITOR and, right after each WATCH of `key`
// that it sees executed, pushes `push(n)` (n = 1, 2, ...) onto that list, while the job is still
// between that WATCH and its EXEC. Sets `following` once MONITOR is on; stops when `done` is set
// and the server sees one more command.
void push_after_watches(const std::string& key, std::atomic<bool>& following,
                        const std::atomic<bool>& done,
                        const std::function<std::string(int)>& push) {
    Redis monitor;
    Redis writer;
    monitor.cmd({"MONITOR"});
    following = true;
    int seen = 0;
    while (!done) {
        RedisReply line = redis_next_reply(monitor.raw());
        if (!line) {
            return;
        }
        if (line->type == REDIS_REPLY_STATUS &&
            std::string(line->str, line->len).find("\"WATCH\" \"" + key + "\"") !=
                std::string::npos) {
            const std::string entry = push(++seen);
            if (!entry.empty()) {
                writer.cmd({"LPUSH", key, entry});
            }
        }
    }
}

TEST_F(Retention, ListChangedDuringTheRunIsStartedAgain) {
    std::vector<std::string> kept;
    redis->rpush("alert", half_stale(20000, &kept));
    write_settings(Settings{.keys = std::vector<std::string>{"alert"}});

    // Another client pushes onto the list once, while the first attempt examines it.
    reset_stats(*redis);
    const std::string pushed = at(0, "pushed meanwhile");
    std::atomic<bool> following{false};
    std::atomic<bool> done{false};
    std::thread once(push_after_watches, "alert", std::ref(following), std::cref(done),
                     [&](int n) { return n == 1 ? pushed : std::string(); });
    while (!following) {
        pause_for(1ms);
    }
    EXPECT_EQ(timeregister(), 0);
    done = true;
    redis->cmd({"PING"});
    once.join();
    EXPECT_EQ(calls(*redis, "watch"), 2);
    EXPECT_EQ(calls(*redis, "exec"), 2);
    std::vector<std::string> expected = {pushed};
    expected.insert(expected.end(), kept.begin(), kept.end());
    EXPECT_EQ(redis->lrange("alert"), expected);
    EXPECT_EQ(log->count("kept changing"), 0u);

    // A list that changes under every attempt is left whole for the next run.
    redis->del("alert");
    std::vector<std::string> unused;
    const std::vector<std::string> all = half_stale(20000, &unused);
    redis->rpush("alert", all);
    reset_stats(*redis);
    following = false;
    done = false;
    std::vector<std::string> pushes;  // head first
    std::thread every(push_after_watches, "alert", std::ref(following), std::cref(done),
                      [&](int n) {
                          pushes.insert(pushes.begin(), at(0, "busy " + std::to_string(n)));
                          return pushes.front();
                      });
    while (!following) {
        pause_for(1ms);
    }
    EXPECT_EQ(timeregister(), 0);
    done = true;
    redis->cmd({"PING"});
    every.join();
    EXPECT_EQ(calls(*redis, "watch"), 4);
    EXPECT_TRUE(log->wait_for("timeregister: alert kept changing, left for the next run"));
    EXPECT_EQ(log->matching("kept changing")[0].priority, 4);
    ASSERT_EQ(pushes.size(), 4u);
    std::vector<std::string> whole = pushes;
    whole.insert(whole.end(), all.begin(), all.end());
    EXPECT_EQ(redis->lrange("alert"), whole);
}

TEST_F(Retention, KilledDaemonLeavesTheListWholeOrTrimmed) {
    write_settings(Settings{.keys = std::vector<std::string>{"alert"}});
    // Killed at moments of the examination, while the transaction is being filled, and after it
    // was committed.
    struct Moment {
        const char* after;
        Millis delay;
    };
    for (const Moment m : {Moment{"watch", 0ms}, Moment{"watch", 40ms}, Moment{"watch", 120ms},
                           Moment{"exec", 0ms}}) {
        std::vector<std::string> kept;
        const std::vector<std::string> all = half_stale(40000, &kept);
        redis->flushall();
        redis->rpush("alert", all);
        reset_stats(*redis);
        const pid_t pid = start_daemon("velstrand");
        while (calls(*redis, m.after) < 1) {
            pause_for(1ms);
        }
        pause_for(m.delay);
        kill_and_reap(pid);
        const std::vector<std::string> left = redis->lrange("alert");
        EXPECT_TRUE(left == all || left == kept)
            << m.after << " + " << m.delay.count() << " ms: " << left.size() << " entries left";
        if (std::string(m.after) == "exec") {
            EXPECT_EQ(left, kept);
        }
    }
}

TEST_F(Retention, LostServerEndsTheRun) {
    std::vector<std::string> kept;
    redis->rpush("alert", half_stale(2000, &kept));
    redis->rpush("dns", {at(-30 * kHour, "old")});
    write_settings(Settings{.keys = std::vector<std::string>{"alert", "dns"}});
    // Writes are held back, so EXEC waits; the server then dies under it.
    redis->cmd({"CLIENT", "PAUSE", "60000", "WRITE"});
    reset_stats(*redis);
    std::thread killer([&] {
        Redis r;
        while (calls(r, "multi") < 1) {
            pause_for(1ms);
        }
        pause_for(300ms);
        server->kill();
    });
    EXPECT_EQ(timeregister(), 0);
    killer.join();
    EXPECT_TRUE(log->wait_for("timeregister: failed to push filtered items back. uid=0"));
    // The run ended there: the next list was not even looked at.
    EXPECT_EQ(log->count("Redis"), 0u) << log->dump();

    // Without a server: the job throws before any list, checkKeyExists says no and logs why.
    try {
        timeregister();
        ADD_FAILURE() << "no exception without a server";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Redis connection error: Connection refused");
    }
    EXPECT_TRUE(log->wait_for("timeregister: Redis connection error: Connection refused"));
    EXPECT_FALSE(checkKeyExists(nullptr, "alert"));
    EXPECT_TRUE(log->wait_for("Redis connection error: context is null"));
    const RedisContext refused = redis_connect();
    ASSERT_TRUE(refused && refused->err);
    EXPECT_FALSE(checkKeyExists(refused.get(), "alert"));
    EXPECT_EQ(log->count("Redis connection error: Connection refused"), 2u) << log->dump();
}

}  // namespace
}  // namespace vt
