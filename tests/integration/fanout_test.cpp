// The event fan-out job through the real daemon against a real server, and by direct calls
// where its result or its exception is what counts.
#include <signal.h>
#include <syslog.h>

#include <algorithm>
#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "base/signals.h"
#include "harness/harness.h"
#include "jobs/func.h"

namespace vt {
namespace {

using namespace std::string_literals;

const char* const kReleased = "velstrand: lock lock:velstrand released";
const char* const kTypes[] = {"alert", "dns", "http", "tls", "flow", "fileinfo"};

// An event in the engine's form, about `size` bytes, unique by n.
std::string event(const std::string& type, int n, size_t size = 1000) {
    std::string e = "{\"timestamp\":\"2026-12-07T02:00:00.123456+0000\",\"flow_id\":" +
                    std::to_string(1000000 + n) + ",\"in_iface\":\"eth0\",\"event_type\":\"" +
                    type + "\",\"src_ip\":\"10.0." + std::to_string(n % 250) +
                    ".7\",\"src_port\":" + std::to_string(30000 + n % 30000) +
                    ",\"dest_ip\":\"192.168.1.10\",\"dest_port\":443,\"proto\":\"TCP\","
                    "\"payload_printable\":\"";
    e.append(size > e.size() + 3 ? size - e.size() - 3 : 0, 'p');
    return e + "\"}";
}

std::vector<std::string> mixed_events(int count, size_t size, int first = 0) {
    std::vector<std::string> out;
    out.reserve(count);
    for (int i = first; i < first + count; ++i) {
        out.push_back(event(kTypes[i % 6], i, size));
    }
    return out;
}

class FanOut : public IntegrationTest {
  protected:
    // One batch of the real daemon, then a stop in its pause.
    void run_one_batch(Millis timeout = 60s) {
        log->clear();
        const pid_t daemon = start_daemon("velstrand");
        ASSERT_TRUE(log->wait_for(kReleased, timeout)) << log->dump();
        kill(daemon, SIGTERM);
        ASSERT_TRUE(wait_exit(daemon, 10s).has_value());
    }

    // Every event of every list but the statistics job's, sorted.
    std::vector<std::string> all_events() {
        std::vector<std::string> out;
        for (const std::string& key : redis->keys()) {
            if (key == "stats_report" || key == "lock:velstrand") {
                continue;
            }
            for (std::string& e : redis->lrange(key)) {
                out.push_back(std::move(e));
            }
        }
        std::sort(out.begin(), out.end());
        return out;
    }

    static std::vector<std::string> sorted(std::vector<std::string> v) {
        std::sort(v.begin(), v.end());
        return v;
    }
};

TEST_F(FanOut, FilesEachEventUnderItsTypeByteForByte) {
    const std::string big =
        "{\"event_type\":\"fileinfo\",\"data\":\"" + std::string(5 << 20, 'x') + "\"}";
    const std::string zero_inside = "{\"event_type\":\"alert\",\"p\":\"a\0b\"}"s;
    const std::string zero_after = "{\"event_type\":\"dns\"}\0tail"s;
    redis->rpush("suricata",
                 {R"({"event_type":"alert","n":1})", R"({"event_type":"dns","n":2})",
                  R"({"event_type":"alert","n":3})", R"({"proto":"TCP"})", R"({"event_type":null})",
                  R"({"event_type":7})", R"({"event_type":true})", R"({"event_type":"\u0000x"})",
                  big, zero_inside, zero_after});
    run_one_batch();
    EXPECT_EQ(redis->llen("suricata"), 0);
    EXPECT_EQ(redis->lrange("alert"),
              (std::vector<std::string>{zero_inside, R"({"event_type":"alert","n":3})",
                                        R"({"event_type":"alert","n":1})"}));
    EXPECT_EQ(redis->lrange("dns"),
              (std::vector<std::string>{zero_after, R"({"event_type":"dns","n":2})"}));
    EXPECT_EQ(redis->lrange(""),
              (std::vector<std::string>{R"({"event_type":null})", R"({"proto":"TCP"})"}));
    EXPECT_EQ(redis->lrange("7"), std::vector<std::string>{R"({"event_type":7})"});
    EXPECT_EQ(redis->lrange("true"), std::vector<std::string>{R"({"event_type":true})"});
    EXPECT_EQ(redis->lrange("\0x"s), std::vector<std::string>{R"({"event_type":"\u0000x"})"});
    EXPECT_EQ(redis->lrange("fileinfo"), std::vector<std::string>{big});
    EXPECT_EQ(log->count("redistransfer"), 0u) << log->dump();
}

TEST_F(FanOut, MalformedEventsGoUnderTheEmptyTypeAndTheRestMoves) {
    const std::vector<std::string> malformed = {
        "not json", R"(["alert"])", R"({"event_type":{"name":"alert"}})",
        R"({"event_type":["alert"]})",
        R"({"event_type":"alert","deep":)" + std::string(1000, '[') + std::string(1000, ']') + "}"};
    std::vector<std::string> events = {R"({"event_type":"alert"})"};
    events.insert(events.end(), malformed.begin(), malformed.end());
    events.push_back(R"({"event_type":"dns"})");
    redis->rpush("suricata", events);
    run_one_batch();
    EXPECT_EQ(redis->llen("suricata"), 0);
    EXPECT_EQ(redis->lrange("alert"), std::vector<std::string>{R"({"event_type":"alert"})"});
    EXPECT_EQ(redis->lrange("dns"), std::vector<std::string>{R"({"event_type":"dns"})"});
    EXPECT_EQ(sorted(redis->lrange("")), sorted(malformed));
    const std::vector<LogLine> warned =
        log->matching("redistransfer: 5 malformed events filed under the empty type. uid=0");
    ASSERT_EQ(warned.size(), 1u) << log->dump();
    EXPECT_EQ(warned[0].priority, LOG_WARNING);
    EXPECT_EQ(warned[0].ident, "velstrand");
    EXPECT_EQ(log->count("transaction failed"), 0u);
}

TEST_F(FanOut, PushRefusedByTheServerPutsTheEventBack) {
    redis->set("alert", "not a list");
    redis->rpush("suricata", {R"({"event_type":"alert","n":1})", R"({"event_type":"dns"})",
                              R"({"event_type":"alert","n":2})"});
    run_one_batch();
    EXPECT_EQ(redis->get("alert"), "not a list");
    EXPECT_EQ(redis->lrange("dns"), std::vector<std::string>{R"({"event_type":"dns"})"});
    EXPECT_EQ(redis->lrange("suricata"),
              (std::vector<std::string>{R"({"event_type":"alert","n":1})",
                                        R"({"event_type":"alert","n":2})"}));
    const std::vector<LogLine> alerts = log->matching(
        "redistransfer: couldn't file 2 events under alert: WRONGTYPE Operation against a key "
        "holding the wrong kind of value");
    ASSERT_EQ(alerts.size(), 1u) << log->dump();
    EXPECT_EQ(alerts[0].priority, LOG_ALERT);
}

// Direct calls: the results and messages of the ways out before the transaction.
TEST_F(FanOut, EarlyExitsGiveTheirResultsAndMessages) {
    // Without main_key the list with the empty name is the main list; its untyped event is of
    // its own type and goes back to its tail.
    write_settings(Settings{.main_key = std::nullopt});
    redis->rpush("", {R"({"proto":"UDP"})", R"({"event_type":"alert"})"});
    EXPECT_EQ(redistransfer(), 0);
    EXPECT_EQ(redis->lrange(""), std::vector<std::string>{R"({"proto":"UDP"})"});
    EXPECT_EQ(redis->lrange("alert"), std::vector<std::string>{R"({"event_type":"alert"})"});

    write_settings(Settings{});
    redis->set("suricata", "a string");
    EXPECT_EQ(redistransfer(), 1);
    EXPECT_EQ(log->count("redistransfer"), 0u) << log->dump();

    stop_requested = 1;
    remove_settings();
    EXPECT_EQ(redistransfer(), 0);
    stop_requested = 0;
    EXPECT_EQ(log->count("redistransfer"), 0u) << "a stop on entry reads nothing";

    EXPECT_EQ(redistransfer(), 1);
    ASSERT_TRUE(log->wait_for("redistransfer: I/O error while reading config file. uid=0"));
    EXPECT_EQ(log->matching("redistransfer: I/O error")[0].priority, LOG_ALERT);
}

TEST_F(FanOut, ConnectionFailureLogsAndThrows) {
    server->stop();
    try {
        redistransfer();
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Redis transfer error: connection failed.");
    }
    ASSERT_TRUE(log->wait_for("redistransfer: Redis error: Connection refused")) << log->dump();
    EXPECT_EQ(log->matching("redistransfer: Redis error")[0].priority, LOG_ALERT);
}

TEST_F(FanOut, HundredThousandEventsMoveIntactInOneRun) {
    const std::vector<std::string> events = mixed_events(100000, 1000);
    redis->rpush("suricata", events);
    run_one_batch();
    EXPECT_EQ(redis->llen("suricata"), 0);
    EXPECT_EQ(redis->llen("alert"), 100000 / 6 + 1);
    EXPECT_TRUE(all_events() == sorted(events)) << "the events changed on the way";
    EXPECT_EQ(log->count("redistransfer"), 0u) << log->dump();
}

TEST_F(FanOut, StopDuringALargeRunMovesAllOrNothing) {
    const std::vector<std::string> events = mixed_events(100000, 200);
    redis->rpush("suricata", events);
    const pid_t daemon = start_daemon("velstrand");
    // The server lists a client inside MULTI with the count of its queued commands: the stop
    // comes while the job is queueing.
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (std::chrono::steady_clock::now() < deadline) {
        RedisReply clients = redis->cmd({"CLIENT", "LIST"});
        if (clients && clients->type == REDIS_REPLY_STRING &&
            std::string(clients->str, clients->len).find(" flags=x ") != std::string::npos) {
            break;
        }
    }
    kill(daemon, SIGTERM);
    ASSERT_TRUE(wait_exit(daemon, 30s).has_value());
    const long long left = redis->llen("suricata");
    RedisReply stats = redis->cmd({"INFO", "commandstats"});
    ASSERT_TRUE(stats && stats->type == REDIS_REPLY_STRING);
    const std::string commands(stats->str, stats->len);
    if (commands.find("cmdstat_discard:calls=1,") != std::string::npos) {
        EXPECT_EQ(left, 100000);
    } else {
        EXPECT_NE(commands.find("cmdstat_exec:calls=1,"), std::string::npos) << commands;
        EXPECT_EQ(left, 0);
    }
    EXPECT_TRUE(all_events() == sorted(events));
    EXPECT_FALSE(redis->exists("lock:velstrand"));
    EXPECT_EQ(log->count(kReleased), 1u) << log->dump();
}

// A producer writes to one end of the main list while the first run is under way.
class FanOutWithProducer : public FanOut {
  protected:
    std::vector<std::string> produce_during_first_run(bool at_head) {
        redis->rpush("suricata", mixed_events(100000, 200));
        std::atomic<bool> done{false};
        std::vector<std::string> produced;
        std::thread producer([&] {
            Redis client;
            for (int n = 200000; !done; ++n) {
                produced.push_back(event("http", n, 200));
                client.cmd({at_head ? "LPUSH" : "RPUSH", "suricata", produced.back()});
                // A steady trickle: enough events arrive during the run, and the producer
                // does not starve the job of the machine's cores.
                std::this_thread::sleep_for(200us);
            }
        });
        const pid_t daemon = start_daemon("velstrand");
        const bool released = log->wait_for(kReleased, 60s);
        done = true;
        producer.join();
        kill(daemon, SIGTERM);
        EXPECT_TRUE(wait_exit(daemon, 10s).has_value());
        EXPECT_TRUE(released) << log->dump();
        return produced;
    }
};

TEST_F(FanOutWithProducer, TailAppendsDuringARunWaitForTheNextRun) {
    const std::vector<std::string> produced = produce_during_first_run(false);
    EXPECT_EQ(log->count("arrived at the head"), 0u);
    // Those appended before the count were moved with the rest; the later ones wait.
    const std::vector<std::string> left = redis->lrange("suricata");
    ASSERT_FALSE(left.empty());
    ASSERT_LE(left.size(), produced.size());
    EXPECT_TRUE(std::equal(left.begin(), left.end(), produced.end() - left.size()));
    std::vector<std::string> expected = mixed_events(100000, 200);
    expected.insert(expected.end(), produced.begin(), produced.end());
    EXPECT_TRUE(all_events() == sorted(expected));
    run_one_batch();
    EXPECT_EQ(redis->llen("suricata"), 0);
    EXPECT_TRUE(all_events() == sorted(expected));
}

TEST_F(FanOutWithProducer, HeadInsertsDuringARunAreFiledExactlyOnce) {
    const std::vector<std::string> produced = produce_during_first_run(true);
    std::vector<std::string> expected = mixed_events(100000, 200);
    expected.insert(expected.end(), produced.begin(), produced.end());
    EXPECT_TRUE(all_events() == sorted(expected)) << "an event was lost or doubled";
    const std::vector<LogLine> info = log->matching("events arrived at the head of suricata");
    ASSERT_EQ(info.size(), 1u) << log->dump();
    EXPECT_EQ(info[0].priority, LOG_INFO);
    EXPECT_EQ(info[0].message.rfind("redistransfer: ", 0), 0u);
    EXPECT_NE(info[0].message.find(" events arrived at the head of suricata during the run and "
                                   "were filed too"),
              std::string::npos);
    // What stayed in the main list (the head grew between the count and the snapshot, or
    // events came after the run) is filed by the next run, once.
    run_one_batch();
    EXPECT_EQ(redis->llen("suricata"), 0);
    EXPECT_TRUE(all_events() == sorted(expected));
}

}  // namespace
}  // namespace vt
