// Fan-out benchmark: the job on 100,000 realistic events of about 1 KB and mixed types, against
// redis-cli --pipe sending the very command stream the job's transaction consists of (MULTI,
// the LPUSHes, the counted LPOP, EXEC) on the same data, in the same run. The pipe bound is what
// the server itself costs; the ratio says how much the job adds. Prints medians of interleaved
// rounds after a warm-up. Runs inside a private namespace with its own redis-server, so nothing
// of the machine's is touched. Needs root.
//
//   build/bench/fanout_bench [events] [rounds]
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "harness/harness.h"
#include "harness/namespace.h"
#include "jobs/func.h"

namespace {

using Clock = std::chrono::steady_clock;

const char* const kTypes[] = {"alert", "dns", "http", "tls", "flow", "fileinfo", "anomaly"};

// An event as the engine writes it: common members, a type-specific object and a printable
// payload that brings it to about 1 KB.
std::string make_event(std::mt19937& rng, int n) {
    const std::string type = kTypes[rng() % 7];
    std::string e = "{\"timestamp\":\"2026-12-07T02:" + std::to_string(10 + n % 50) +
                    ":00.123456+0000\",\"flow_id\":" + std::to_string(1000000000000 + n) +
                    ",\"in_iface\":\"eth0\",\"event_type\":\"" + type + "\",\"src_ip\":\"10.0." +
                    std::to_string(rng() % 250) + "." + std::to_string(rng() % 250) +
                    "\",\"src_port\":" + std::to_string(1024 + rng() % 60000) +
                    ",\"dest_ip\":\"192.168.1.10\",\"dest_port\":443,\"proto\":\"TCP\"";
    if (type == "alert") {
        e += ",\"alert\":{\"action\":\"allowed\",\"gid\":1,\"signature_id\":2100498,\"rev\":7,"
             "\"signature\":\"GPL ATTACK_RESPONSE id check returned root\",\"category\":"
             "\"Potentially Bad Traffic\",\"severity\":2}";
    } else if (type == "dns") {
        e += ",\"dns\":{\"type\":\"answer\",\"id\":" + std::to_string(rng() % 65536) +
             ",\"rrname\":\"host" + std::to_string(n) +
             ".example.org\",\"rrtype\":\"A\",\"ttl\":300,\"answers\":[{\"rdata\":\"93.184.216."
             "34\"}]}";
    } else if (type == "http") {
        e += ",\"http\":{\"hostname\":\"www.example.com\",\"url\":\"\\/index.html?q=" +
             std::to_string(n) +
             "\",\"http_user_agent\":\"Mozilla\\/5.0 (X11; Linux x86_64)\",\"http_method\":"
             "\"GET\",\"protocol\":\"HTTP\\/1.1\",\"status\":200,\"length\":5120}";
    } else if (type == "tls") {
        e += ",\"tls\":{\"subject\":\"CN=example.com\",\"issuerdn\":\"C=US, O=Let's Encrypt\","
             "\"version\":\"TLS 1.3\",\"sni\":\"example.com\",\"ja3\":{\"hash\":"
             "\"e7d705a3286e19ea42f587b344ee6865\"}}";
    } else if (type == "flow") {
        e += ",\"flow\":{\"pkts_toserver\":" + std::to_string(rng() % 1000) +
             ",\"pkts_toclient\":10,\"bytes_toserver\":1450,\"bytes_toclient\":8800,\"age\":3,"
             "\"state\":\"closed\",\"reason\":\"timeout\",\"alerted\":false}";
    } else if (type == "fileinfo") {
        e += ",\"fileinfo\":{\"filename\":\"\\/download\\/setup.exe\",\"size\":482133,"
             "\"stored\":false,\"state\":\"CLOSED\",\"tx_id\":0}";
    } else {
        e += ",\"anomaly\":{\"type\":\"decode\",\"event\":\"ipv4.trunc_pkt\"}";
    }
    e += ",\"payload_printable\":\"";
    static const char kPrintable[] = "GET /index.html HTTP/1.1 Host: www.example.com Accept: */*";
    while (e.size() < 1000) {
        e += kPrintable[rng() % (sizeof kPrintable - 1)];
    }
    return e + "\"}";
}

void append_resp(std::string& out, const std::vector<std::string>& args) {
    out += "*" + std::to_string(args.size()) + "\r\n";
    for (const std::string& a : args) {
        out += "$" + std::to_string(a.size()) + "\r\n" + a + "\r\n";
    }
}

// The job's transaction as one command stream, types taken with the job's own reading.
std::string command_stream(const std::vector<std::string>& events) {
    std::string out;
    append_resp(out, {"MULTI"});
    for (const std::string& e : events) {
        const size_t at = e.find("\"event_type\":\"") + 14;
        append_resp(out, {"LPUSH", e.substr(at, e.find('"', at) - at), e});
    }
    append_resp(out, {"LPOP", "suricata", std::to_string(events.size())});
    append_resp(out, {"EXEC"});
    return out;
}

void fill(vt::Redis& redis, const std::vector<std::string>& events) {
    redis.flushall();
    redis.rpush("suricata", events);
}

long status_kb(const char* field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(field, 0) == 0) {
            return std::strtol(line.c_str() + std::char_traits<char>::length(field), nullptr, 10);
        }
    }
    return -1;
}

struct JobRun {
    double seconds = 0;
    long hwm_kb = 0;
    int result = 0;
    double cpu = 0;  // the job process's user and system time
};

// Runs the job in a fresh process (this program re-executed), so its peak RSS is the job's.
JobRun run_job_process() {
    int fds[2];
    if (pipe(fds) != 0) {
        std::perror("pipe");
        std::exit(1);
    }
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], 1);
        execl("/proc/self/exe", "fanout_bench", "--job", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    char buf[256] = {};
    size_t got = 0;
    ssize_t n;
    while ((n = read(fds[0], buf + got, sizeof buf - 1 - got)) > 0) {
        got += static_cast<size_t>(n);
    }
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    JobRun r;
    if (std::sscanf(buf, "%lf %ld %d %lf", &r.seconds, &r.hwm_kb, &r.result, &r.cpu) != 4) {
        std::fprintf(stderr, "job process failed (status %d)\n", status);
        std::exit(1);
    }
    return r;
}

double run_pipe(const std::string& stream_path) {
    const Clock::time_point t0 = Clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        const int in = open(stream_path.c_str(), O_RDONLY);
        const int out = open("/dev/null", O_WRONLY);
        dup2(in, 0);
        dup2(out, 1);
        execlp("redis-cli", "redis-cli", "--pipe", static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    const double s = std::chrono::duration<double>(Clock::now() - t0).count();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "redis-cli --pipe failed (status %d)\n", status);
        std::exit(1);
    }
    return s;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

void check_moved(vt::Redis& redis, size_t n) {
    long long filed = 0;
    for (const char* t : kTypes) {
        filed += redis.llen(t);
    }
    if (redis.llen("suricata") != 0 || filed != static_cast<long long>(n)) {
        std::fprintf(stderr, "a run did not move everything (%lld of %zu filed)\n", filed, n);
        std::exit(1);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::string(argv[1]) == "--job") {
        const Clock::time_point t0 = Clock::now();
        const int result = redistransfer();
        const double s = std::chrono::duration<double>(Clock::now() - t0).count();
        struct rusage ru {};
        getrusage(RUSAGE_SELF, &ru);
        const double cpu = ru.ru_utime.tv_sec + ru.ru_stime.tv_sec +
                           (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
        std::printf("%.6f %ld %d %.6f\n", s, status_kb("VmHWM:"), result, cpu);
        return 0;
    }
    enter_private_namespace(std::vector<std::string>(argv, argv + argc));
    const int count = argc > 1 ? std::atoi(argv[1]) : 100000;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;

    vt::Syslog log;
    vt::RedisServer server;
    server.start();
    vt::Redis redis;
    vt::write_settings(vt::Settings{});

    std::mt19937 rng(42);
    std::vector<std::string> events;
    events.reserve(count);
    size_t bytes = 0;
    for (int i = 0; i < count; ++i) {
        events.push_back(make_event(rng, i));
        bytes += events.back().size();
    }
    const std::string stream_path = "/mnt/scratch/fanout.resp";
    {
        std::ofstream out(stream_path, std::ios::binary);
        out << command_stream(events);
    }

    std::vector<double> job_s;
    std::vector<double> pipe_s;
    std::vector<double> cpu_s;
    long hwm_kb = 0;
    for (int round = 0; round <= rounds; ++round) {  // round 0 warms up
        fill(redis, events);
        const JobRun job = run_job_process();
        check_moved(redis, events.size());
        fill(redis, events);
        const double pipe = run_pipe(stream_path);
        check_moved(redis, events.size());
        if (job.result != 0) {
            std::fprintf(stderr, "the job returned %d\n", job.result);
            return 1;
        }
        std::printf("round %d%s: job %.3f s (CPU %.3f s), pipe %.3f s, peak RSS %ld KiB\n", round,
                    round == 0 ? " (warm-up)" : "", job.seconds, job.cpu, pipe, job.hwm_kb);
        if (round > 0) {
            job_s.push_back(job.seconds);
            cpu_s.push_back(job.cpu);
            pipe_s.push_back(pipe);
            hwm_kb = std::max(hwm_kb, job.hwm_kb);
        }
    }
    const double job = median(job_s);
    const double pipe = median(pipe_s);
    const double mib = static_cast<double>(bytes) / (1 << 20);
    std::printf("events: %d, %.1f MiB (%.0f bytes each)\n", count, mib,
                static_cast<double>(bytes) / count);
    std::printf("job (median of %d):            %.3f s, %.0f events/s\n", rounds, job, count / job);
    std::printf("job CPU time (median):         %.3f s\n", median(cpu_s));
    std::printf("redis-cli --pipe (median):     %.3f s, %.0f events/s\n", pipe, count / pipe);
    std::printf("ratio job / pipe:              %.2f (target 1.3)\n", job / pipe);
    std::printf("job peak RSS (VmHWM, max):     %.1f MiB = %.2f x the events (target < 3)\n",
                hwm_kb / 1024.0, hwm_kb / 1024.0 / mib);
    std::remove(stream_path.c_str());
    return 0;
}
