// What tells the daemon and its test build apart: everything else is shared code.
#pragma once

struct Profile {
    const char* prefix;     // begins the messages of the entry, the loop and the settings readers
    int cycle_limit;        // 0: cycle until a stop signal
    bool log_timings;       // one line per batch with each job's milliseconds
    int full_read_seconds;  // how long the retention trusts its memory of a list before reading it
                            // whole
};

constexpr Profile kDaemonProfile{"velstrand", 0, false, 3600};
constexpr Profile kTestProfile{"velstrandtest", 5, true, 3600};
