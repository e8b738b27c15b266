// Stop requests: SIGTERM and SIGINT set a flag that the loop and the fan-out job poll.
#pragma once

#include <csignal>

// 0 at start, 1 once a stop signal arrived; never cleared.
extern volatile sig_atomic_t stop_requested;

void handle_signal(int signum);
// Installs handle_signal for SIGTERM, then SIGINT.
void setup_signal_handlers();
// Logs "velstrand: got signal %d, stopping..." once for each stop signal that arrived and has not
// been logged yet. syslog is not async-signal-safe, so the handler only records and this runs
// from the loop.
void log_received_signals();
