// The statistics job against a real redis-server, real /proc processes and the case's syslog.
#include <dlfcn.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <json/reader.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "harness/harness.h"
#include "jobs/chrondiff.h"
#include "stats/stats.h"

// Counts the calls to closelog made in this binary (make_stat called directly), then forwards.
namespace {
std::atomic<int> closelog_calls{0};
}
extern "C" void closelog() noexcept {
    ++closelog_calls;
    using Fn = void (*)();
    static const Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "closelog"));
    real();
}

namespace vt {
namespace {

const std::regex kTimestampForm(R"(\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}[+-]\d{4})");

// The whole stored element: compact, members in byte order, figures of the right JSON type.
const std::regex kReportForm(
    R"(\{"CPU_percent":-?\d+\.\d+(e[+-]?\d+)?,"alerts":\d+,"physical_memory":\d+,)"
    R"("timestamp":"\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}[+-]\d{4}","virtual_memory":\d+\}\n)");

Json::Value parse(const std::string& text) {
    Json::Value v;
    std::istringstream in(text);
    std::string errors;
    EXPECT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &v, &errors)) << errors;
    return v;
}

struct Memory {
    long long size_kb = -1;
    long long rss_kb = -1;
    char state = '?';
    bool operator==(const Memory& o) const { return size_kb == o.size_kb && rss_kb == o.rss_kb; }
};

Memory memory_of(pid_t pid) {
    Memory m;
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmSize:", 0) == 0) {
            m.size_kb = std::stoll(line.substr(7));
        } else if (line.rfind("VmRSS:", 0) == 0) {
            m.rss_kb = std::stoll(line.substr(6));
        } else if (line.rfind("State:", 0) == 0) {
            // "State:\tS (sleeping)": the letter after the label, not the label's own S.
            const size_t at = line.find_first_not_of(" \t", 6);
            m.state = at == std::string::npos ? '?' : line[at];
        }
    }
    return m;
}

// Spawns the named process and waits until it has touched all its memory and sleeps, so its
// figures hold still while the job samples it.
pid_t spawn_settled(int megabytes) {
    const pid_t pid = spawn_named_process("Suricata-Main", megabytes);
    for (int i = 0; i < 5000; ++i) {
        const Memory m = memory_of(pid);
        if (m.state == 'S' && m.rss_kb >= megabytes * 1024LL) {
            break;
        }
        pause_for(1ms);
    }
    return pid;
}

class Stats : public IntegrationTest {};

TEST_F(Stats, WithoutEngineEveryCycleStoresAZeroReport) {
    const pid_t pid = start_daemon("velstrandtest", StartOptions{65534});
    ASSERT_TRUE(wait_exit(pid, 60s).has_value());
    const auto info = log->matching("stats: Suricata process not found. uid=65534");
    ASSERT_EQ(info.size(), 5u) << log->dump();
    EXPECT_EQ(info[0].priority, LOG_INFO);
    EXPECT_EQ(log->count("exec() failed"), 0u);
    const std::vector<std::string> reports = redis->lrange("stats_report");
    ASSERT_EQ(reports.size(), 5u);
    for (const std::string& r : reports) {
        const std::string ts = parse(r)["timestamp"].asString();
        EXPECT_TRUE(std::regex_match(ts, kTimestampForm)) << ts;
        // The retention job ages stats_report by these stamps, so they must read back as the
        // moment they were written.
        const auto written = std::chrono::nanoseconds(parseISO8601(ts));
        const auto now = std::chrono::system_clock::now().time_since_epoch();
        EXPECT_LT(std::chrono::abs(now - written), std::chrono::seconds(60)) << ts;
        EXPECT_EQ(r, R"({"CPU_percent":0.0,"alerts":0,"physical_memory":0,"timestamp":")" + ts +
                         R"(","virtual_memory":0})"
                         "\n");
    }
}

TEST_F(Stats, SamplesTheFirstEngineListedByPgrepAndCountsAlerts) {
    const pid_t first = spawn_settled(48);
    const pid_t second = spawn_settled(8);
    std::string listed;
    ASSERT_EQ(run_command({"pgrep", "Suricata-Main"}, &listed), 0);
    ASSERT_EQ(listed, std::to_string(first) + "\n" + std::to_string(second) + "\n");
    redis->rpush("alert", {"{}", "{}", "{}"});

    const Memory before = memory_of(first);
    closelog_calls = 0;
    make_stat();
    const Memory after = memory_of(first);
    ASSERT_EQ(before, after) << "the sampled process changed its memory";
    EXPECT_EQ(closelog_calls, 1);

    const std::vector<std::string> reports = redis->lrange("stats_report");
    ASSERT_EQ(reports.size(), 1u) << log->dump();
    EXPECT_TRUE(std::regex_match(reports[0], kReportForm)) << reports[0];
    const Json::Value report = parse(reports[0]);
    EXPECT_TRUE(report["CPU_percent"].isDouble());
    EXPECT_GE(report["CPU_percent"].asDouble(), 0.0);
    EXPECT_EQ(report["virtual_memory"].asInt64(), before.size_kb);
    EXPECT_EQ(report["physical_memory"].asInt64(), before.rss_kb);
    EXPECT_GE(before.rss_kb, 48 * 1024);
    EXPECT_EQ(report["alerts"].asInt64(), redis->llen("alert"));
    EXPECT_EQ(report["alerts"].asInt64(), 3);
    EXPECT_EQ(log->count("Suricata process not found"), 0u);
}

// The job's failures seen from inside: each run logs what the store or the counter saw, closes
// the log once and returns.
TEST_F(Stats, FailuresAreReportedAndTheJobReturns) {
    redis->set("alert", "not a list");
    testing::internal::CaptureStderr();
    EXPECT_EQ(count_alerts(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Unexpected reply type: 6\n");
    closelog_calls = 0;
    make_stat();
    EXPECT_EQ(closelog_calls, 1);
    const std::vector<std::string> stored = redis->lrange("stats_report");
    ASSERT_EQ(stored.size(), 1u) << log->dump();
    EXPECT_EQ(parse(stored[0])["alerts"].asInt64(), 0);

    // A report list of another type: the store fails loudly and nothing is written.
    redis->del("stats_report");
    redis->set("stats_report", "taken");
    closelog_calls = 0;
    make_stat();
    EXPECT_EQ(closelog_calls, 1);
    ASSERT_TRUE(log->wait_for("make_stat: error running stats: Stats error: Redis command failed"))
        << log->dump();
    const auto refused = log->matching("save_report: Redis error: WRONGTYPE");
    ASSERT_EQ(refused.size(), 1u) << log->dump();
    EXPECT_EQ(refused[0].priority, LOG_ALERT);
    EXPECT_EQ(redis->get("stats_report"), "taken");

    // The server gone: the counter fails first, the store is never reached.
    server->stop();
    log->clear();
    testing::internal::CaptureStderr();
    closelog_calls = 0;
    make_stat();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(closelog_calls, 1);
    EXPECT_EQ(err.rfind("Redis connection error: ", 0), 0u) << err;
    ASSERT_TRUE(log->wait_for("make_stat: error running stats: Redis connection failed"));
    int alerts = 0;
    for (const LogLine& l : log->lines()) {
        alerts += l.priority == LOG_ALERT;
    }
    EXPECT_EQ(alerts, 1) << log->dump();
    EXPECT_EQ(log->count("save_report"), 0u);
}

TEST_F(Stats, FailedStoreIsLoggedEveryCycleAndTheLoopGoesOn) {
    redis->set("stats_report", "taken");
    const int status = run_test_build();
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(log->count("make_stat: error running stats: Stats error: Redis command failed"), 5u)
        << log->dump();
    EXPECT_EQ(log->count("save_report: Redis error: WRONGTYPE"), 5u);
    EXPECT_EQ(log->count("lock lock:velstrand released"), 5u);
    EXPECT_EQ(redis->get("stats_report"), "taken");
}

}  // namespace
}  // namespace vt
