// What tells the daemon and its test build apart: everything else is shared code.
#pragma once

struct Profile {
    const char* prefix;  // begins the messages of the entry, the loop and the settings readers
    int cycle_limit;     // 0: cycle until a stop signal
    bool log_timings;    // one line per batch with each job's milliseconds
};

constexpr Profile kDaemonProfile{"velstrand", 0, false};
constexpr Profile kTestProfile{"velstrandtest", 5, true};
