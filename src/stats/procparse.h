// Reading the kernel's /proc texts for the process sampler, and the CPU-share arithmetic. Pure
// functions over text, so fixture texts and live files go through the very same code.
#pragma once

#include <cstdint>
#include <string_view>

// The figures of /proc/<pid>/stat the sampler uses, in clock ticks.
struct StatTicks {
    std::int64_t cpu = 0;    // utime + stime + cutime + cstime (tokens 14 to 17)
    std::int64_t start = 0;  // starttime, ticks since boot (token 22)
};

// The memory lines of /proc/<pid>/status, in kB; 0 when a line is missing.
struct StatusMemory {
    std::int64_t virtual_kb = 0;   // VmSize
    std::int64_t resident_kb = 0;  // VmRSS
};

// Tokens 14 to 17 and 22 of a stat text (whitespace-separated, numbered from 1), each converted
// with std::stol; nothing after token 22 is looked at. A token that is missing or not a decimal
// number throws std::invalid_argument "stol", one beyond 64 bits std::out_of_range "stol". The
// command name (token 2) is not treated specially: a name with blanks shifts the tokens.
StatTicks parse_stat(std::string_view text);

// The first token of an uptime text as whole seconds (std::stol, so the fraction is dropped);
// throws like parse_stat.
std::int64_t parse_uptime_seconds(std::string_view text);

// VmSize and VmRSS of a status text: a line whose first 6 (5) characters are the label, with the
// number read by stream extraction from the text after the one character following the label.
// The last occurrence of a label wins; a label without a number gives 0. Never throws.
StatusMemory parse_status(std::string_view text);

// Average share of one CPU over the process's life, in percent: whole CPU seconds (truncating
// integer division) over elapsed seconds (single precision), times 100. 0 when the elapsed ticks
// (uptime in ticks minus start) are below 1. tick_rate must be positive.
float cpu_share(const StatTicks& ticks, std::int64_t uptime_seconds, std::int64_t tick_rate);
