// A guided run of velstrandtest on realistic data, for a newcomer: inside a private namespace
// (its own redis-server, settings file and syslog socket; nothing of the machine's own is
// touched) it fills the main list with monitoring events of several types, some of them days
// old, starts a stand-in for the engine's main process, runs the five cycles while printing the
// daemon's syslog lines as they arrive, and then shows what each list holds.
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "harness/harness.h"
#include "harness/namespace.h"

namespace {

const char* const kTypes[] = {"alert", "dns",      "http",    "tls",
                              "flow",  "fileinfo", "anomaly", "stats"};

std::string stamp(std::time_t t) {
    char buf[64];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", std::gmtime(&t));
    return std::string(buf) + ".123456+0000";
}

// One event in the engine's JSON form, with the members each type usually carries.
std::string event(const std::string& type, std::time_t when, int n) {
    const std::string ip = "10.0." + std::to_string(n % 250) + "." + std::to_string(1 + n % 200);
    std::string e = "{\"timestamp\":\"" + stamp(when) +
                    "\",\"flow_id\":" + std::to_string(1000000 + n) +
                    ",\"in_iface\":\"eth0\",\"event_type\":\"" + type + "\",\"src_ip\":\"" + ip +
                    "\",\"src_port\":" + std::to_string(30000 + n % 30000) +
                    ",\"dest_ip\":\"192.168.1.10\",\"dest_port\":443,\"proto\":\"TCP\"";
    if (type == "alert") {
        e += ",\"alert\":{\"action\":\"allowed\",\"signature_id\":2100498,\"rev\":7,"
             "\"signature\":\"GPL ATTACK_RESPONSE id check returned root\",\"category\":"
             "\"Potentially Bad Traffic\",\"severity\":2}";
    } else if (type == "dns") {
        e += ",\"dns\":{\"type\":\"query\",\"id\":" + std::to_string(n) + ",\"rrname\":\"host" +
             std::to_string(n) + ".example.org\",\"rrtype\":\"A\"}";
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
    } else if (type == "anomaly") {
        e += ",\"anomaly\":{\"type\":\"decode\",\"event\":\"ipv4.trunc_pkt\"}";
    } else {
        e += ",\"stats\":{\"uptime\":" + std::to_string(n) +
             ",\"capture\":{\"kernel_packets\":"
             "9211,\"kernel_drops\":0}}";
    }
    return e + "}";
}

void print_new_lines(const vt::Syslog& log, size_t& shown) {
    const std::vector<vt::LogLine> lines = log.lines();
    static const char* const names[] = {"emerg",   "alert",  "crit", "err",
                                        "warning", "notice", "info", "debug"};
    for (; shown < lines.size(); ++shown) {
        const vt::LogLine& l = lines[shown];
        std::printf("  syslog %-7s %s[%d]: %s\n", names[l.priority & 7], l.ident.c_str(), l.pid,
                    l.message.c_str());
    }
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    enter_private_namespace(std::vector<std::string>(argv, argv + argc));
    setvbuf(stdout, nullptr, _IOLBF, 0);
    vt::Syslog log;
    vt::RedisServer server;
    server.start();
    vt::Redis redis;

    const std::vector<std::string> types(std::begin(kTypes), std::end(kTypes));
    vt::Settings settings;
    settings.sleeping_time = 1;
    settings.main_key = "suricata";
    settings.keys = types;
    settings.keys->push_back("stats_report");
    settings.valid_duration = 24;
    vt::write_settings(settings);
    std::printf("== settings file (/etc/quellbay/conf.cfg inside the demo's namespace)\n%s\n",
                settings.text().c_str());

    // Two thirds of the events are recent, one third two to five days old.
    std::mt19937 rng(7);
    const std::time_t now = std::time(nullptr);
    std::map<std::string, int> generated, stale;
    std::vector<std::string> events;
    for (int n = 0; n < 2400; ++n) {
        const std::string& type = types[rng() % types.size()];
        const bool old = rng() % 3 == 0;
        const std::time_t when = old ? now - 86400 * (2 + static_cast<int>(rng() % 4))
                                     : now - static_cast<int>(rng() % 3600);
        events.push_back(event(type, when, n));
        ++generated[type];
        stale[type] += old;
    }
    redis.rpush("suricata", events);
    std::printf("== %zu events pushed to the main list 'suricata', for example:\n  %s\n\n",
                events.size(), events.front().c_str());

    const pid_t engine = vt::spawn_named_process("Suricata-Main", 64);
    std::printf(
        "== started a STAND-IN process named Suricata-Main (pid %d, 64 MB touched), so the\n"
        "   statistics report has real figures; it is not the monitoring engine\n\n",
        engine);

    std::printf("== running velstrandtest: five cycles with a one-second pause\n");
    pid_t daemon = -1;
    vt::start_program("velstrandtest", {}, &daemon);
    size_t shown = 0;
    std::optional<int> status;
    while (!(status = vt::wait_exit(daemon, vt::Millis(100)))) {
        print_new_lines(log, shown);
    }
    vt::pause_for(vt::Millis(100));
    print_new_lines(log, shown);
    std::printf("   velstrandtest exited with status %d\n\n",
                WIFEXITED(*status) ? WEXITSTATUS(*status) : -1);

    // Once the main list is empty every event was fanned out, and what its type's list lacks
    // was trimmed as stale.
    const long long left = redis.llen("suricata");
    std::printf("== what the cycles did (main list 'suricata' now holds %lld events)\n", left);
    std::printf("  %-10s %11s %9s %10s %9s\n", "list", "fanned out", "stale", "now holds",
                "trimmed");
    for (const std::string& type : types) {
        const long long held = redis.llen(type);
        std::printf("  %-10s %11s %9d %10lld %9s\n", type.c_str(),
                    left == 0 ? std::to_string(generated[type]).c_str() : "-", stale[type], held,
                    left == 0 ? std::to_string(generated[type] - held).c_str() : "-");
    }
    const std::vector<std::string> reports = redis.lrange("stats_report");
    std::printf("\n== stats_report holds %zu reports; the newest:\n  %s\n", reports.size(),
                reports.empty() ? "(none)" : reports.back().c_str());
    std::printf("   (memory in kB from the stand-in's /proc status; CPU_percent counts whole CPU\n"
                "   seconds over the process's life, so an idle stand-in shows 0)\n");
    return status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0 ? 0 : 1;
}
