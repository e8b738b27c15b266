// The shipped sample settings file must parse and hold every key with the type its readers take:
// a sample that falls back to defaults, or ends every batch with a settings error, would mislead
// every operator who starts from it.
#include <libconfig.h++>

#include <cstdio>
#include <string>

namespace {

int failures = 0;

void expect(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "FAIL: %s\n", what);
        ++failures;
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s SETTINGS_FILE\n", argv[0]);
        return 2;
    }
    libconfig::Config cfg;
    try {
        cfg.readFile(argv[1]);
    } catch (const libconfig::ParseException& e) {
        std::fprintf(stderr, "FAIL: %s:%d - %s\n", e.getFile(), e.getLine(), e.getError());
        return 1;
    } catch (const libconfig::FileIOException&) {
        std::fprintf(stderr, "FAIL: cannot read %s\n", argv[1]);
        return 1;
    }
    if (!cfg.exists("application.settings") || !cfg.lookup("application.settings").isGroup()) {
        std::fprintf(stderr, "FAIL: no group application.settings\n");
        return 1;
    }
    const libconfig::Setting& s = cfg.lookup("application.settings");

    int sleeping_time = 0;
    expect(s.lookupValue("sleeping_time", sleeping_time), "sleeping_time is a plain int");
    expect(sleeping_time >= 1, "sleeping_time is at least 1");
    int lock_expiration_time = 0;
    expect(s.lookupValue("lock_expiration_time", lock_expiration_time),
           "lock_expiration_time is a plain int");
    expect(lock_expiration_time >= 1, "lock_expiration_time is at least 1");
    std::string main_key;
    expect(s.lookupValue("main_key", main_key), "main_key is a string");
    expect(!main_key.empty(), "main_key names a list");
    int valid_duration = -1;
    expect(s.exists("valid_duration") && s["valid_duration"].getType() == libconfig::Setting::TypeInt,
           "valid_duration is a plain int");
    s.lookupValue("valid_duration", valid_duration);
    expect(valid_duration >= 1, "valid_duration keeps at least an hour");

    expect(s.exists("keys") && (s["keys"].isList() || s["keys"].isArray()),
           "keys is a list or an array");
    if (s.exists("keys")) {
        const libconfig::Setting& keys = s["keys"];
        bool strings = keys.getLength() > 0;
        bool has_alert = false;
        bool has_reports = false;
        for (int i = 0; i < keys.getLength(); ++i) {
            if (keys[i].getType() != libconfig::Setting::TypeString) {
                strings = false;
                continue;
            }
            const std::string name = keys[i];
            has_alert = has_alert || name == "alert";
            has_reports = has_reports || name == "stats_report";
        }
        expect(strings, "keys holds strings only, at least one");
        expect(has_alert, "keys ages the alert list");
        expect(has_reports, "keys ages stats_report");
    }
    if (failures == 0) {
        std::printf("sample settings file %s: all keys present and well typed\n", argv[1]);
    }
    return failures == 0 ? 0 : 1;
}
