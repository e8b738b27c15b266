// The statistics job: find the engine with pgrep, sample it from /proc, count the alerts and
// append the report to stats_report.
#include "stats/stats.h"

#include <json/writer.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>

#include "base/log.h"
#include "redis/redis.h"
#include "stats/procparse.h"

namespace {

constexpr const char* kProcessName = "Suricata-Main";
constexpr const char* kReportList = "stats_report";

struct PipeClose {
    void operator()(FILE* f) const { pclose(f); }
};

// The whole file, or nothing when it cannot be opened (the process is gone).
std::optional<std::string> read_file(const std::string& path) {
    std::ifstream in(path);
    if (!in.is_open()) {
        return std::nullopt;
    }
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

std::string exec(const char* cmd) {
    std::string result;
    std::unique_ptr<FILE, PipeClose> pipe(popen(cmd, "r"));
    if (!pipe) {
        log_msg(LOG_ERR, "exec() failed: popen() error: %s (cmd: %s)", std::strerror(errno), cmd);
        throw std::runtime_error("popen() failed!");
    }
    // If appending throws, the pipe's owner closes it on the way out.
    char buffer[128];
    while (std::fgets(buffer, sizeof buffer, pipe.get()) != nullptr) {
        result += buffer;
    }
    if (pclose(pipe.release()) == -1) {
        log_msg(LOG_ERR, "exec() failed: pclose() error: %s", std::strerror(errno));
    }
    return result;
}

ProcessUsage getProcessUsage(int pid) {
    ProcessUsage usage;
    const long tick_rate = sysconf(_SC_CLK_TCK);
    const std::string dir = "/proc/" + std::to_string(pid);

    StatTicks ticks;
    if (const auto stat = read_file(dir + "/stat")) {
        ticks = parse_stat(*stat);
    }
    std::int64_t uptime_seconds = 0;
    if (const auto uptime = read_file("/proc/uptime")) {
        uptime_seconds = parse_uptime_seconds(*uptime);
    }
    usage.cpu_percent = cpu_share(ticks, uptime_seconds, tick_rate);

    if (const auto status = read_file(dir + "/status")) {
        const StatusMemory memory = parse_status(*status);
        usage.virtual_memory = memory.virtual_kb;
        usage.physical_memory = memory.resident_kb;
    }
    return usage;
}

std::string getCurrentTimeISO8601() {
    const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    std::ostringstream out;
    out << std::put_time(std::localtime(&now), "%FT%T%z");
    return out.str();
}

Json::Value make_report() {
    Json::Value report;
    const std::string command = std::string("pgrep ") + kProcessName;
    const std::string pids = exec(command.c_str());
    ProcessUsage usage;
    if (pids.empty()) {
        log_msg(LOG_INFO, "stats: Suricata process not found. uid=%d", static_cast<int>(getuid()));
    } else {
        // stoi stops at the first newline: with several matches the first listed is sampled.
        usage = getProcessUsage(std::stoi(pids));
    }
    report["timestamp"] = Json::Value(getCurrentTimeISO8601());
    report["CPU_percent"] = Json::Value(static_cast<double>(usage.cpu_percent));
    report["virtual_memory"] = Json::Value(static_cast<Json::Int64>(usage.virtual_memory));
    report["physical_memory"] = Json::Value(static_cast<Json::Int64>(usage.physical_memory));
    report["alerts"] = Json::Value(static_cast<Json::Int64>(count_alerts()));
    return report;
}

std::int64_t count_alerts() {
    RedisContext ctx = redis_connect();
    if (!ctx) {
        std::cerr << "Failed to allocate Redis context" << std::endl;
        throw std::runtime_error("Redis connection failed");
    }
    if (redis_failed(ctx.get())) {
        std::cerr << "Redis connection error: " << redis_error(ctx.get()) << std::endl;
        throw std::runtime_error("Redis connection failed");
    }
    const RedisReply reply = redis_command(ctx.get(), "LLEN alert");
    if (!reply) {
        std::cerr << "Error executing LLEN command" << std::endl;
        throw std::runtime_error("Redis command execution failed");
    }
    if (reply->type != REDIS_REPLY_INTEGER) {
        std::cerr << "Unexpected reply type: " << reply->type << std::endl;
        return 0;
    }
    return reply->integer;
}

void save_report(const Json::Value& report) {
    RedisContext ctx = redis_connect();
    if (!ctx) {
        log_msg(LOG_ALERT, "save_report: can't allocate Redis context");
        throw std::runtime_error("Stats error: Redis connection failed");
    }
    if (redis_failed(ctx.get())) {
        log_msg(LOG_ALERT, "save_report: Redis error: %s", redis_error(ctx.get()));
        throw std::runtime_error("Stats error: Redis connection failed");
    }
    Json::FastWriter writer;
    const std::string text = writer.write(report);
    const RedisReply reply =
        redis_command(ctx.get(), "RPUSH %s %b", kReportList, text.data(), text.size());
    if (!reply || redis_failed(ctx.get())) {
        throw std::runtime_error("Stats error: Redis command failed");
    }
    // An error reply (stats_report holding another type) means the report was not stored.
    if (reply->type == REDIS_REPLY_ERROR) {
        log_msg(LOG_ALERT, "save_report: Redis error: %s", reply->str);
        throw std::runtime_error("Stats error: Redis command failed");
    }
}

void make_stat() {
    try {
        save_report(make_report());
    } catch (const std::exception& e) {
        log_msg(LOG_ALERT, "make_stat: error running stats: %s", e.what());
    }
    close_log();
}
