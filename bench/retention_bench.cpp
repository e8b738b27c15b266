// One retention run over 100,000 events of about 1 KB in one list, half of them stale, timed in
// the test build, beside redis-cli --pipe sending the same command stream for that list: the
// bound set by the server and the socket alone. Prints the figures; asserts only correctness.
//
//   sudo ./build/bench/retention_bench        (root: it runs in a namespace of its own)
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "harness/harness.h"
#include "jobs/chrondiff.h"
#include "jobs/jsonfield.h"

namespace vt {
namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kEvents = 100000;

double seconds_since(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

std::string utc(long from_now) {
    const std::time_t t = std::time(nullptr) + from_now;
    std::tm tm{};
    gmtime_r(&t, &tm);
    char text[40];
    std::strftime(text, sizeof text, "%FT%T", &tm);
    return text;
}

// An alert as the engine writes it, about 1 KB.
std::string alert_event(size_t i, const std::string& time) {
    const std::string n = std::to_string(i);
    return R"({"timestamp":")" + time + "." + std::to_string(100000 + i % 900000) +
           R"(+0000","flow_id":)" + std::to_string(1000000000000 + i) +
           R"(,"in_iface":"eth0","event_type":"alert","vlan":[110],"src_ip":"10.)" +
           std::to_string(i % 250) + R"(.0.17","src_port":)" + std::to_string(1024 + i % 60000) +
           R"(,"dest_ip":"192.168.1.20","dest_port":80,"proto":"TCP","tx_id":0,)"
           R"("alert":{"action":"allowed","gid":1,"signature_id":2019401,"rev":3,)"
           R"("signature":"ET POLICY Session Traversal Utilities for NAT - STUN Binding Request",)"
           R"("category":"Attempted Information Leak","severity":2,"metadata":{"created_at":)"
           R"(["2014_09_22"],"updated_at":["2019_07_26"],"former_category":["POLICY"]}},)"
           R"("http":{"hostname":"update.example.net","url":"/v2/check?id=)" +
           n +
           R"(&channel=stable","http_user_agent":"Mozilla/5.0 (X11; Linux x86_64; rv:109.0) )"
           R"(Gecko/20100101 Firefox/115.0","http_content_type":"application/json",)"
           R"("http_method":"GET","protocol":"HTTP/1.1","status":200,"length":)" +
           std::to_string(300 + i % 5000) + R"(},"app_proto":"http","flow":{"pkts_toserver":)" +
           std::to_string(3 + i % 40) + R"(,"pkts_toclient":)" + std::to_string(2 + i % 30) +
           R"(,"bytes_toserver":)" + std::to_string(400 + i % 9000) + R"(,"bytes_toclient":)" +
           std::to_string(900 + i % 70000) + R"(,"start":")" + time +
           R"(.000000+0000"},"payload_printable":"GET /v2/check HTTP/1.1\r\n)"
           R"(Host: update.example.net\r\nAccept: */*\r\n\r\n","stream":0,"packet":")" +
           std::string(60, 'A') + R"(","packet_info":{"linktype":1},"host":"sensor-)" + n + R"("})";
}

void resp(std::string& out, const std::vector<std::string>& argv) {
    out += "*" + std::to_string(argv.size()) + "\r\n";
    for (const std::string& a : argv) {
        out += "$" + std::to_string(a.size()) + "\r\n";
        out += a;
        out += "\r\n";
    }
}

// The job's own commands for the list, as it sends them: LLEN, LRANGE in pieces of 10,000,
// MULTI, LTRIM, the LPUSHes of the kept entries (last first, 4,096 a command), EXEC.
std::string command_stream(const std::vector<std::string>& all,
                           const std::vector<std::string>& kept) {
    std::string out;
    resp(out, {"LLEN", "alert"});
    for (size_t start = 0; start < all.size(); start += 10000) {
        resp(out, {"LRANGE", "alert", std::to_string(start),
                   std::to_string(std::min(start + 10000, all.size()) - 1)});
    }
    resp(out, {"MULTI"});
    resp(out, {"LTRIM", "alert", std::to_string(all.size()), "-1"});
    size_t next = kept.size();
    while (next > 0) {
        std::vector<std::string> argv = {"LPUSH", "alert"};
        while (next > 0 && argv.size() - 2 < 4096) {
            argv.push_back(kept[--next]);
        }
        resp(out, argv);
    }
    resp(out, {"EXEC"});
    return out;
}

long peak_rss_kb(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmHWM:", 0) == 0) {
            return std::atol(line.c_str() + 6);
        }
    }
    return -1;
}

class RetentionBench : public IntegrationTest {};

TEST_F(RetentionBench, HundredThousandEventsHalfStale) {
    std::vector<std::string> all;
    std::vector<std::string> kept;
    size_t bytes = 0;
    const std::string fresh = utc(-60);
    const std::string stale = utc(-30 * 3600);
    for (size_t i = 0; i < kEvents; ++i) {
        all.push_back(alert_event(i, i % 2 ? stale : fresh));
        bytes += all.back().size();
        if (i % 2 == 0) {
            kept.push_back(all.back());
        }
    }
    std::printf("list: %zu events, %.1f MB, mean %zu bytes\n", all.size(), bytes / 1e6,
                bytes / all.size());

    // The bound: redis-cli --pipe with the job's command stream, on the same data.
    { std::ofstream("/mnt/scratch/stream.resp", std::ios::binary) << command_stream(all, kept); }
    // The machine is shared: each side runs three times, alternately, and its best time counts.
    write_settings(Settings{.keys = std::vector<std::string>{"alert"}});
    double pipe_s = 1e9;
    double job_s = 1e9;
    long rss_kb = 0;
    Clock::time_point t0;
    for (int round = 0; round < 3; ++round) {
        redis->flushall();
        redis->rpush("alert", all);
        t0 = Clock::now();
        std::string out;
        ASSERT_EQ(run_command({"sh", "-c", "redis-cli --pipe < /mnt/scratch/stream.resp"}, &out), 0)
            << out;
        const double pipe_round = seconds_since(t0);
        pipe_s = std::min(pipe_s, pipe_round);
        ASSERT_EQ(redis->lrange("alert"), kept);

        // The test build's first cycle trims the list; its peak RSS is read while it sleeps
        // after that cycle, and it is stopped there.
        redis->flushall();
        redis->rpush("alert", all);
        log->clear();
        const pid_t pid = start_daemon("velstrandtest");
        ASSERT_TRUE(log->wait_for("velstrandtest: timings ms:", 120s));
        rss_kb = std::max(rss_kb, peak_rss_kb(pid));
        kill_and_reap(pid);
        const std::string line = log->matching("velstrandtest: timings ms:")[0].message;
        const double job_round = std::atol(line.c_str() + line.find("timeregister=") + 13) / 1000.0;
        job_s = std::min(job_s, job_round);
        ASSERT_EQ(redis->lrange("alert"), kept);
        std::printf("round %d: pipe %.3f s, job %.3f s\n", round, pipe_round, job_round);
    }

    std::printf("redis-cli --pipe, same commands: %.3f s\n", pipe_s);
    std::printf("timeregister in velstrandtest:   %.3f s  (ratio %.2f, target 1.5)\n", job_s,
                job_s / pipe_s);
    std::printf("events per second:               %.0f\n", kEvents / job_s);
    std::printf("peak RSS of velstrandtest:       %.1f MB  (%.2fx the list, target 3)\n",
                rss_kb / 1024.0, rss_kb * 1024.0 / bytes);

    // Where the client's time goes: the member read and the timestamp reader, in this process.
    t0 = Clock::now();
    size_t texts = 0;
    for (const std::string& e : all) {
        texts += member_as_string(e, "timestamp").text.size();
    }
    const double member_s = seconds_since(t0);
    std::vector<std::string> stamps;
    for (const std::string& e : all) {
        stamps.push_back(member_as_string(e, "timestamp").text);
    }
    t0 = Clock::now();
    long long sum = 0;
    for (int round = 0; round < 10; ++round) {
        for (const std::string& s : stamps) {
            sum += parseISO8601(s) & 1;
        }
    }
    const double parse_s = seconds_since(t0) / 10;
    const std::regex re(
        "(\\d{4})-(\\d{2})-(\\d{2})T(\\d{2}):(\\d{2}):(\\d{2})(\\.\\d+)?([+-])(\\d{2})(?::?)("
        "\\d{2})");
    t0 = Clock::now();
    std::smatch m;
    for (const std::string& s : stamps) {
        sum += std::regex_match(s, m, re);
    }
    const double regex_s = seconds_since(t0);
    t0 = Clock::now();
    for (size_t i = 0; i < 200; ++i) {
        const std::regex per_call(
            "(\\d{4})-(\\d{2})-(\\d{2})T(\\d{2}):(\\d{2}):(\\d{2})(\\.\\d+)?([+-])(\\d{2})(?::?)("
            "\\d{2})");
        sum += std::regex_match(stamps[i], m, per_call);
    }
    const double per_call_s = seconds_since(t0);
    std::printf("std::regex built for each text:  %.1f us per text\n", per_call_s / 200 * 1e6);
    std::printf("member_as_string(timestamp):     %.2f us per event (%zu)\n",
                member_s / kEvents * 1e6, texts);
    std::printf("parseISO8601:                    %.3f us per text\n", parse_s / kEvents * 1e6);
    std::printf("std::regex built once, match:    %.3f us per text (%lld)\n",
                regex_s / kEvents * 1e6, sum);
}

}  // namespace
}  // namespace vt
