// Start-up and the cycle loop, shared by the daemon and its test build.
#pragma once

#include "daemon/profile.h"

// The whole program: reads the pause, forks (the started process exits 0), detaches, opens
// syslog, installs the stop handler and cycles. Returns 0 after a normal end and -1 when
// detaching fails; exits 1 when Redis cannot be reached or on an error outside any batch.
int daemon_main(const Profile& profile);

// Cycles until a stop signal (or the profile's cycle limit): connect, lock, run the batch,
// unlock, disconnect, sleep.
void run_daemon(const Profile& profile, int sleeping_time);
