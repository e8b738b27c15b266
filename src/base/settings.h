// The settings file: where it lies, how every reader opens it, and the loop's two readers.
#pragma once

#include <libconfig.h++>

#include <functional>

constexpr const char* kSettingsPath = "/etc/quellbay/conf.cfg";

// Reads the settings file into cfg. Returns false when it cannot be read (log_io_error logs the
// caller's own message) or parsed (the "Parse error at ..." line is logged here); the caller then
// takes its error path without looking anything up.
bool read_settings_file(libconfig::Config& cfg, const std::function<void()>& log_io_error);

// The application.settings group. Throws the settings library's exception when either group is
// missing or is not a group.
const libconfig::Setting& settings_group(const libconfig::Config& cfg);

// The loop's two readers; `prefix` begins their messages ("velstrand" or "velstrandtest").
// Pause between cycles in seconds, at least 1: 60 when the key is missing or invalid, 160 when
// the file cannot be read or parsed.
int get_sleeping_time(const char* prefix);
// Lifetime of the cycle lock in seconds, at least 1: 100 in every fallback.
int get_lock_expiration_time(const char* prefix);
