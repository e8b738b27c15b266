// The stop-signal handler and its installer.
#include "base/signals.h"

#include <syslog.h>

#include "base/log.h"

volatile sig_atomic_t stop_requested = 0;

namespace {
volatile sig_atomic_t got_sigterm = 0;
volatile sig_atomic_t got_sigint = 0;
bool logged_sigterm = false;
bool logged_sigint = false;
}  // namespace

void handle_signal(int signum) {
    if (signum == SIGTERM) {
        got_sigterm = 1;
    } else if (signum == SIGINT) {
        got_sigint = 1;
    }
    stop_requested = 1;
}

void setup_signal_handlers() {
    signal(SIGTERM, handle_signal);
    signal(SIGINT, handle_signal);
    // hiredis writes with write(2): a server that dies while a pipeline is being sent would
    // otherwise kill the daemon by SIGPIPE, with no log line and no exit status of its own.
    // Ignored, the write fails with EPIPE and the job reports the connection error like any other.
    signal(SIGPIPE, SIG_IGN);
}

void log_received_signals() {
    if (got_sigterm && !logged_sigterm) {
        logged_sigterm = true;
        log_msg(LOG_INFO, "velstrand: got signal %d, stopping...", SIGTERM);
    }
    if (got_sigint && !logged_sigint) {
        logged_sigint = true;
        log_msg(LOG_INFO, "velstrand: got signal %d, stopping...", SIGINT);
    }
}
