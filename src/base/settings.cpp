// The settings file's one reading pattern, and the loop's readers of the pause and lock lifetime.
#include "base/settings.h"

#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <optional>
#include <string>

#include "base/log.h"

namespace {

void log_parse_error(const std::string& file, int line, const std::string& error) {
    const std::string msg = "Parse error at " + file + ":" + std::to_string(line) + " - " + error;
    log_msg(LOG_ALERT, "%s", msg.c_str());
}

// The settings library reads an included file to its end with its scanner, and a read error
// there (a directory) ends the whole process with "input in flex scanner failed", exit status 2;
// a FIFO blocks it for good. Either would end or stall the daemon, perhaps with the lock held.
// So every @include is looked at first, the way the library's scanner finds them: at the start
// of a line, outside block comments, line comments and strings, the path taken as written (no
// include directory is set), down to the library's nesting bound of 10.
struct IncludeProblem {
    std::string file;
    int line = 0;
};

constexpr int kMaxIncludeDepth = 10;

std::optional<IncludeProblem> find_bad_include(const std::string& file, int depth) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        return std::nullopt;  // the library reports what it cannot open itself
    }
    std::string text;
    char buf[1 << 16];
    while (in.read(buf, sizeof buf) || in.gcount() > 0) {
        text.append(buf, static_cast<size_t>(in.gcount()));
    }
    if (text.find("@include") == std::string::npos) {
        return std::nullopt;  // the common case, and a large file costs one search
    }
    int line = 1;
    bool line_start = true;  // only blanks since the line began
    size_t i = 0;
    const size_t n = text.size();
    const auto skip_to_line_end = [&] {
        while (i < n && text[i] != '\n') {
            ++i;
        }
    };
    while (i < n) {
        const char ch = text[i];
        if (ch == '\n') {
            ++line;
            line_start = true;
            ++i;
        } else if (ch == ' ' || ch == '\t') {
            ++i;
        } else if (ch == '#' || text.compare(i, 2, "//") == 0) {
            skip_to_line_end();
        } else if (text.compare(i, 2, "/*") == 0) {
            const size_t end = text.find("*/", i + 2);
            const size_t stop = end == std::string::npos ? n : end + 2;
            line += static_cast<int>(std::count(text.begin() + static_cast<long>(i),
                                                text.begin() + static_cast<long>(stop), '\n'));
            i = stop;
            line_start = false;
        } else if (ch == '"') {
            // A string may run over lines; a backslash takes the next character with it.
            for (i = text.find_first_of("\"\\\n", i + 1); i < n && text[i] != '"';
                 i = text.find_first_of("\"\\\n", i + 1)) {
                if (text[i] == '\\' && i + 1 < n) {
                    ++i;
                }
                line += text[i] == '\n';
            }
            i = i < n ? i + 1 : n;
            line_start = false;
        } else if (line_start && text.compare(i, 8, "@include") == 0 && i + 8 < n &&
                   (text[i + 8] == ' ' || text[i + 8] == '\t')) {
            size_t j = i + 8;
            while (j < n && (text[j] == ' ' || text[j] == '\t')) {
                ++j;
            }
            if (j >= n || text[j] != '"') {
                i = j;
                line_start = false;
                continue;
            }
            std::string path;
            for (++j; j < n && text[j] != '"'; ++j) {
                if (text[j] == '\\') {
                    if (j + 1 < n && (text[j + 1] == '\\' || text[j + 1] == '"')) {
                        path += text[++j];
                    }
                    continue;  // any other escape loses its backslash, as in the library
                }
                path += text[j];
            }
            const int at = line;
            line += static_cast<int>(std::count(text.begin() + static_cast<long>(i),
                                                text.begin() + static_cast<long>(std::min(j, n)),
                                                '\n'));
            i = j + 1;
            line_start = false;
            if (depth + 1 > kMaxIncludeDepth) {
                return std::nullopt;  // the library refuses this one itself
            }
            struct stat st {};
            if (stat(path.c_str(), &st) != 0) {
                return std::nullopt;  // likewise: "cannot open include file"
            }
            if (!S_ISREG(st.st_mode)) {
                return IncludeProblem{file, at};
            }
            if (std::optional<IncludeProblem> p = find_bad_include(path, depth + 1)) {
                return p;
            }
        } else {
            ++i;
            line_start = false;
        }
    }
    return std::nullopt;
}

}  // namespace

bool read_settings_file(libconfig::Config& cfg, const std::function<void()>& log_io_error) {
    // Anything but a regular file (a FIFO would block the read for good) cannot be settings.
    struct stat st {};
    if (stat(kSettingsPath, &st) == 0 && !S_ISREG(st.st_mode)) {
        log_io_error();
        return false;
    }
    if (const std::optional<IncludeProblem> p = find_bad_include(kSettingsPath, 0)) {
        // Reported as the library reports an include it cannot open.
        log_parse_error(p->file, p->line, "cannot open include file");
        return false;
    }
    try {
        cfg.readFile(kSettingsPath);
        return true;
    } catch (const libconfig::FileIOException&) {
        log_io_error();
    } catch (const libconfig::ParseException& e) {
        log_parse_error(e.getFile() ? e.getFile() : "", e.getLine(), e.getError());
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
int read_positive_int(const char* prefix, const char* key, int fallback, int unreadable) {
    libconfig::Config cfg;
    if (!read_settings_file(cfg, [&] {
            log_msg(LOG_ALERT, "%s: I/O error while reading %s (uid=%d)", prefix, kSettingsPath,
                    static_cast<int>(getuid()));
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
        log_msg(LOG_WARNING, "%s: %s missing/invalid, fallback to %d", prefix, key, fallback);
        return fallback;
    }
    return value;
}

}  // namespace

int get_sleeping_time(const char* prefix) {
    return read_positive_int(prefix, "sleeping_time", 60, 160);
}

int get_lock_expiration_time(const char* prefix) {
    return read_positive_int(prefix, "lock_expiration_time", 100, 100);
}
