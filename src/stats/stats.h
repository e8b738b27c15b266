// The statistics job: a report on the engine's CPU and memory and the alert count, and the shell
// runner and /proc sampler it is built from.
#pragma once

#include <json/value.h>

#include <cstdint>
#include <string>

// Everything the command, run by the system shell, writes to its standard output, newlines
// kept; empty when it writes nothing, whatever its exit status. Throws std::runtime_error
// "popen() failed!" (after logging at LOG_ERR) when the pipe cannot be opened.
std::string exec(const char* cmd);

// A process's usage as the kernel reports it; every field 0 when its source cannot be read.
struct ProcessUsage {
    float cpu_percent = 0.0f;          // share of one CPU over its whole life (100 = one CPU)
    std::int64_t virtual_memory = 0;   // VmSize, kB
    std::int64_t physical_memory = 0;  // VmRSS, kB
};

// Samples /proc/<pid>/stat, /proc/uptime and /proc/<pid>/status. A pid without a /proc entry
// gives zeros; a stat or uptime figure that is not a number throws std::invalid_argument or
// std::out_of_range "stol".
ProcessUsage getProcessUsage(int pid);

// The current local time as YYYY-MM-DDTHH:MM:SS+hhmm (24 characters, no fraction).
std::string getCurrentTimeISO8601();

// The report: timestamp, CPU_percent, virtual_memory, physical_memory and alerts of the process
// named Suricata-Main, zero figures when none runs. Throws what its parts throw.
Json::Value make_report();

// LLEN of the list alert; 0 when the reply is not an integer. Diagnostics go to standard error.
// Throws std::runtime_error when the server cannot be reached or does not answer.
std::int64_t count_alerts();

// Appends the report's compact JSON text to the list stats_report. Throws std::runtime_error
// "Stats error: ..." when it is not stored.
void save_report(const Json::Value& report);

// One run of the job: builds and stores a report, logs its own failures, closes the log once.
void make_stat();
