// A soak run of the daemon, not part of the test suite (scripts/soak): inside a private namespace
// (its own redis-server, settings file and syslog socket) the daemon velstrand cycles with a
// one-second pause while a producer appends realistic events to the main list at a steady rate,
// as the engine does in its rpush mode. Every 30 seconds it prints the daemon's resident memory
// and open descriptors, which must stay flat, and how many events were produced and filed; at
// the end it checks that every produced event is accounted for.
//
// The lists are kept at a steady size so that a growing figure means a leak, not a growing
// working set: every event's timestamp lies two hours back, less its lifetime (two minutes by
// default), and the retention job (valid_duration 1) trims it once that lifetime has passed.
// Within the lifetime an event must sit in its type's list exactly once; after it, nowhere.
//
//   vt_soak [minutes (default 30)] [--rate N (events/s, default 300)] [--lifetime S]
//           [--interval S (default 30)] [--head (LPUSH, the engine's plain list mode)]
#include <signal.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <dirent.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "harness/harness.h"
#include "harness/namespace.h"

namespace {

using Clock = std::chrono::steady_clock;

const char* const kTypes[] = {"alert", "dns", "http", "tls", "flow", "fileinfo", "anomaly"};
// The engine's share of each type, roughly as a busy sensor writes them.
const int kWeights[] = {5, 30, 15, 10, 35, 3, 2};

constexpr const char* kMainKey = "suricata";

struct Options {
    double minutes = 30;
    int rate = 300;
    int lifetime = 120;
    int interval = 30;
    bool head = false;
};

Options parse_options(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool has_value = i + 1 < argc;
        if (a == "--rate" && has_value) {
            o.rate = std::max(1, std::atoi(argv[++i]));
        } else if (a == "--lifetime" && has_value) {
            o.lifetime = std::max(10, std::atoi(argv[++i]));
        } else if (a == "--interval" && has_value) {
            o.interval = std::max(1, std::atoi(argv[++i]));
        } else if (a == "--head") {
            o.head = true;
        } else if (!a.empty() && a[0] != '-') {
            o.minutes = std::atof(a.c_str());
        } else {
            std::fprintf(stderr,
                         "usage: vt_soak [minutes] [--rate N] [--lifetime S] [--interval S] "
                         "[--head]\n");
            std::exit(2);
        }
    }
    return o;
}

std::string stamp(std::time_t t, int micros) {
    char buf[64];
    std::tm utc{};
    gmtime_r(&t, &utc);
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &utc);
    char frac[16];
    std::snprintf(frac, sizeof frac, ".%06d", micros);
    return std::string(buf) + frac + "+0000";
}

// One event in the engine's JSON form; its flow_id is its serial number.
std::string event(const std::string& type, const std::string& ts, long n) {
    const std::string ip = "10.0." + std::to_string(n % 250) + "." + std::to_string(1 + n % 200);
    std::string e = "{\"timestamp\":\"" + ts + "\",\"flow_id\":" + std::to_string(n) +
                    ",\"in_iface\":\"eth0\",\"event_type\":\"" + type + "\",\"src_ip\":\"" + ip +
                    "\",\"src_port\":" + std::to_string(30000 + n % 30000) +
                    ",\"dest_ip\":\"192.168.1.10\",\"dest_port\":443,\"proto\":\"TCP\"";
    if (type == "alert") {
        e += ",\"alert\":{\"action\":\"allowed\",\"signature_id\":2100498,\"rev\":7,"
             "\"signature\":\"GPL ATTACK_RESPONSE id check returned root\",\"category\":"
             "\"Potentially Bad Traffic\",\"severity\":2}";
    } else if (type == "dns") {
        e += ",\"dns\":{\"type\":\"query\",\"id\":" + std::to_string(n % 65536) +
             ",\"rrname\":\"host" + std::to_string(n % 5000) + ".example.org\",\"rrtype\":\"A\"}";
    } else if (type == "http") {
        e += ",\"http\":{\"hostname\":\"www.example.com\",\"url\":\"/index.html\","
             "\"http_method\":\"GET\",\"status\":200,\"length\":5120}";
    } else if (type == "tls") {
        e += ",\"tls\":{\"subject\":\"CN=example.com\",\"version\":\"TLS 1.3\",\"sni\":"
             "\"example.com\"}";
    } else if (type == "flow") {
        e += ",\"flow\":{\"pkts_toserver\":12,\"pkts_toclient\":10,\"bytes_toserver\":1450,"
             "\"bytes_toclient\":8800,\"state\":\"closed\"}";
    } else if (type == "fileinfo") {
        e += ",\"fileinfo\":{\"filename\":\"/download/setup.exe\",\"size\":482133,\"stored\":"
             "false}";
    } else {
        e += ",\"anomaly\":{\"type\":\"decode\",\"event\":\"ipv4.trunc_pkt\"}";
    }
    return e + "}";
}

// What the producer made of each event: its type and the last second at which a retention run
// still keeps it.
struct Produced {
    std::vector<int> type;           // by serial number
    std::vector<std::time_t> until;  // by serial number
    std::mutex mu;
};

long serial_of(const std::string& e) {
    const size_t at = e.find("\"flow_id\":");
    return at == std::string::npos ? -1 : std::atol(e.c_str() + at + 10);
}

// Appends `rate` events a second in slices of a tenth of a second, until `stop`.
void produce(const Options& o, std::atomic<bool>& stop, std::atomic<long>& count,
             std::atomic<bool>& failed, Produced& produced) {
    RedisContext c = redis_connect();
    if (!c || c->err) {
        failed = true;
        return;
    }
    std::mt19937 rng(11);
    std::discrete_distribution<int> pick(std::begin(kWeights), std::end(kWeights));
    const auto start = Clock::now();
    long n = 0;
    for (long tick = 1; !stop; ++tick) {
        const long due = static_cast<long>(o.rate) * tick / 10;
        std::vector<std::string> batch;
        const auto wall = std::chrono::system_clock::now();
        const std::time_t now = std::chrono::system_clock::to_time_t(wall);
        const int micros = static_cast<int>(
            std::chrono::duration_cast<std::chrono::microseconds>(wall.time_since_epoch()).count() %
            1000000);
        // Two hours back, less the lifetime: valid_duration 1 keeps it while the distance is
        // below two whole hours.
        const std::time_t ts = now - 7200 + o.lifetime;
        {
            std::lock_guard<std::mutex> lock(produced.mu);
            for (; n < due; ++n) {
                const int t = pick(rng);
                batch.push_back(event(kTypes[t], stamp(ts, micros), n));
                produced.type.push_back(t);
                // The fraction makes the distance reach two hours one second later.
                produced.until.push_back(ts + 7200);
            }
        }
        std::vector<const char*> argv = {o.head ? "LPUSH" : "RPUSH", kMainKey};
        std::vector<size_t> lens = {5, std::strlen(kMainKey)};
        for (const std::string& e : batch) {
            argv.push_back(e.data());
            lens.push_back(e.size());
        }
        RedisReply r(static_cast<redisReply*>(
            redisCommandArgv(c.get(), static_cast<int>(argv.size()), argv.data(), lens.data())));
        if (!r || r->type != REDIS_REPLY_INTEGER) {
            failed = true;
            return;
        }
        count = n;
        std::this_thread::sleep_until(start + std::chrono::milliseconds(100 * tick));
    }
}

long vm_rss_kb(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::atol(line.c_str() + 6);
        }
    }
    return -1;
}

int open_fds(pid_t pid) {
    DIR* dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (dir == nullptr) {
        return -1;
    }
    int n = 0;
    while (const dirent* e = readdir(dir)) {
        n += e->d_name[0] != '.';
    }
    closedir(dir);
    return n;
}

struct Sample {
    double seconds;
    long rss;
    int fds;
};

}  // namespace

int main(int argc, char** argv) {
    const Options o = parse_options(argc, argv);
    enter_private_namespace(std::vector<std::string>(argv, argv + argc));
    setvbuf(stdout, nullptr, _IOLBF, 0);
    vt::Syslog log;
    vt::RedisServer server;
    server.start();
    vt::Redis redis;

    vt::Settings settings;
    settings.sleeping_time = 1;
    settings.main_key = kMainKey;
    settings.keys = std::vector<std::string>(std::begin(kTypes), std::end(kTypes));
    settings.keys->push_back("stats_report");
    settings.valid_duration = 1;
    vt::write_settings(settings);

    const pid_t engine = vt::spawn_named_process("Suricata-Main", 32);
    pid_t daemon = -1;
    const int started = vt::start_program("velstrand", {}, &daemon);
    if (!WIFEXITED(started) || WEXITSTATUS(started) != 0 || daemon < 0) {
        std::printf("velstrand did not start (status %d)\n%s", started, log.dump().c_str());
        vt::kill_all_other_processes();
        return 1;
    }
    std::printf(
        "soak: velstrand pid %d, sleeping_time 1, %d events/s at the %s of '%s', each "
        "kept %d s, %.1f min; stand-in Suricata-Main pid %d\n",
        daemon, o.rate, o.head ? "head (LPUSH)" : "tail (RPUSH)", kMainKey, o.lifetime, o.minutes,
        engine);
    std::printf("%8s %10s %5s %10s %10s %9s %9s %8s\n", "elapsed", "VmRSS kB", "fds", "produced",
                "filed", "in lists", "batches", "warnings");

    std::atomic<bool> stop{false};
    std::atomic<bool> failed{false};
    std::atomic<long> produced_count{0};
    Produced produced;
    std::thread producer([&] { produce(o, stop, produced_count, failed, produced); });

    const auto start = Clock::now();
    const auto end = start + std::chrono::milliseconds(static_cast<long>(o.minutes * 60000));
    std::vector<Sample> samples;
    auto next = start;
    const auto count_warnings = [&] {
        size_t n = 0;
        for (const vt::LogLine& l : log.lines()) {
            n += l.priority <= LOG_WARNING;
        }
        return n;
    };
    for (;;) {
        const auto now = Clock::now();
        if (now >= next || now >= end) {
            const double secs = std::chrono::duration<double>(now - start).count();
            const long p = produced_count;
            const long long main = redis.llen(kMainKey);
            long long in_lists = 0;
            for (const char* t : kTypes) {
                in_lists += redis.llen(t);
            }
            const Sample s{secs, vm_rss_kb(daemon), open_fds(daemon)};
            samples.push_back(s);
            std::printf("%7.0fs %10ld %5d %10ld %10lld %9lld %9zu %8zu\n", secs, s.rss, s.fds, p,
                        p - main, in_lists, log.count("lock lock:velstrand acquired"),
                        count_warnings());
            next += std::chrono::seconds(o.interval);
        }
        if (now >= end || failed || vt::wait_exit(daemon, vt::Millis(0))) {
            break;
        }
        vt::pause_for(vt::Millis(200));
    }
    stop = true;
    producer.join();

    bool ok = !failed;
    if (failed) {
        std::printf("soak: the producer lost its connection\n");
    }
    // Let the daemon drain the main list, then stop it; after its exit nothing moves.
    const auto drain_deadline = Clock::now() + std::chrono::seconds(60);
    while (redis.llen(kMainKey) > 0 && Clock::now() < drain_deadline) {
        vt::pause_for(vt::Millis(100));
    }
    ::kill(daemon, SIGTERM);
    const std::optional<int> status = vt::wait_exit(daemon, std::chrono::seconds(120));
    const std::time_t stopped = std::time(nullptr);
    if (!status || !WIFEXITED(*status) || WEXITSTATUS(*status) != 0) {
        std::printf("soak: velstrand did not end cleanly after SIGTERM (status %d)\n",
                    status ? *status : -1);
        ok = false;
    }

    // Every event within its lifetime at the daemon's last retention run sits in its type's list
    // exactly once; every event whose lifetime ended well before is gone. The few that aged out
    // in the last seconds may be either, as the last run's clock decides.
    const long long main_left = redis.llen(kMainKey);
    std::vector<int> seen(produced.type.size(), 0);
    long unknown = 0, misfiled = 0, duplicated = 0, missing = 0, stale_kept = 0;
    for (size_t t = 0; t < std::size(kTypes); ++t) {
        for (const std::string& e : redis.lrange(kTypes[t])) {
            const long n = serial_of(e);
            if (n < 0 || n >= static_cast<long>(seen.size())) {
                ++unknown;
                continue;
            }
            misfiled += produced.type[static_cast<size_t>(n)] != static_cast<int>(t);
            duplicated += ++seen[static_cast<size_t>(n)] == 2;
        }
    }
    for (size_t n = 0; n < seen.size(); ++n) {
        const std::time_t until = produced.until[n];
        if (seen[n] == 0 && until > stopped + 1) {
            ++missing;
        } else if (seen[n] > 0 && until < stopped - 10) {
            ++stale_kept;
        }
    }
    const std::vector<std::string> empties = redis.lrange("");
    std::printf(
        "soak: %zu events produced; main list holds %lld; in lists: %ld missing, %ld "
        "doubled, %ld misfiled, %ld unknown, %ld kept past their time; %zu under the "
        "empty type\n",
        seen.size(), main_left, missing, duplicated, misfiled, unknown, stale_kept, empties.size());
    const bool accounted = main_left == 0 && missing == 0 && duplicated == 0 && misfiled == 0 &&
                           unknown == 0 && stale_kept == 0 && empties.empty();
    ok = ok && accounted;
    std::printf("soak: every produced event accounted for: %s\n", accounted ? "yes" : "NO");

    long rss_max = 0;
    int fds_max = 0;
    for (const Sample& s : samples) {
        rss_max = std::max(rss_max, s.rss);
        fds_max = std::max(fds_max, s.fds);
    }
    if (!samples.empty()) {
        const Sample& a = samples.front();
        const Sample& b = samples.back();
        std::printf(
            "soak: VmRSS kB first %ld, last %ld, max %ld; fds first %d, last %d, max %d "
            "over %zu samples (%.0f s)\n",
            a.rss, b.rss, rss_max, a.fds, b.fds, fds_max, samples.size(), b.seconds);
        // The lists reach their steady size after one lifetime; compare from then on.
        for (const Sample& s : samples) {
            if (s.seconds >= o.lifetime + 30) {
                std::printf(
                    "soak: after the warm-up (from %.0f s): VmRSS kB %ld -> %ld, fds %d "
                    "-> %d\n",
                    s.seconds, s.rss, b.rss, s.fds, b.fds);
                break;
            }
        }
    }
    const std::vector<std::string> reports = redis.lrange("stats_report");
    std::printf(
        "soak: %zu batches, %zu reports in stats_report, %zu warning-or-worse syslog "
        "lines\n",
        log.count("lock lock:velstrand acquired"), reports.size(), count_warnings());
    size_t shown = 0;
    for (const vt::LogLine& l : log.lines()) {
        if (l.priority <= LOG_WARNING && ++shown <= 20) {
            std::printf("  syslog %d %s[%d]: %s\n", l.priority, l.ident.c_str(), l.pid,
                        l.message.c_str());
        }
    }
    vt::kill_all_other_processes();
    return ok ? 0 : 1;
}
