// The settings file's one reading pattern, and the loop's readers of the pause and lock lifetime.
#include "daemon/settings.h"

#include <syslog.h>
#include <unistd.h>

#include <string>

#include "daemon/log.h"

bool read_settings_file(libconfig::Config& cfg, const std::function<void()>& log_io_error) {
    try {
        cfg.readFile(kSettingsPath);
        return true;
    } catch (const libconfig::FileIOException&) {
        log_io_error();
    } catch (const libconfig::ParseException& e) {
        const std::string msg = std::string("Parse error at ") + (e.getFile() ? e.getFile() : "") +
                                ":" + std::to_string(e.getLine()) + " - " + e.getError();
        log_msg(LOG_ALERT, "%s", msg.c_str());
    }
    return false;
}

const libconfig::Setting& settings_group(const libconfig::Config& cfg) {
    return cfg.getRoot()["application"]["settings"];
}

namespace {

// Reads a positive int key of application.settings for the loop. A missing or non-group
// application or settings counts like a missing key: these readers run before anything could
// report the library's exception to the operator, and their callers need a value in every case.
int read_positive_int(const Profile& profile, const char* key, int fallback, int unreadable) {
    libconfig::Config cfg;
    if (!read_settings_file(cfg, [&] {
            log_msg(LOG_ALERT, "%s: I/O error while reading %s (uid=%d)", profile.prefix,
                    kSettingsPath, static_cast<int>(getuid()));
        })) {
        return unreadable;
    }
    int value = fallback;
    bool found = false;
    try {
        found = settings_group(cfg).lookupValue(key, value);
    } catch (const libconfig::ConfigException&) {
    }
    if (!found || value < 1) {
        log_msg(LOG_WARNING, "%s: %s missing/invalid, fallback to %d", profile.prefix, key,
                fallback);
        return fallback;
    }
    return value;
}

}  // namespace

int get_sleeping_time(const Profile& profile) {
    return read_positive_int(profile, "sleeping_time", 60, 160);
}

int get_lock_expiration_time(const Profile& profile) {
    return read_positive_int(profile, "lock_expiration_time", 100, 100);
}
