// The statistics job: a report on the engine's CPU and memory and the alert count.
#pragma once

#include <string>

// The current local time as YYYY-MM-DDTHH:MM:SS+hhmm (24 characters, no fraction).
std::string getCurrentTimeISO8601();

// Samples the engine and appends one report to stats_report; logs its own failures.
void make_stat();
