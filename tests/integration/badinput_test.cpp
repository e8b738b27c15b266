// Bad input through the real daemon against a real server: huge, malformed and binary events,
// broken settings files and odd lock values. In every case the daemon says what it met in one
// clear log line and no event is lost or doubled: each case checks the exact list contents.
#include <signal.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "base/settings.h"
#include "daemon/profile.h"
#include "harness/harness.h"

namespace vt {
namespace {

using namespace std::string_literals;
using Clock = std::chrono::steady_clock;

const char* const kAcquired = "velstrand: lock lock:velstrand acquired";
const char* const kReleased = "velstrand: lock lock:velstrand released";
const char* const kBusy = "velstrand: lock lock:velstrand is busy, will retry after sleep";
const std::string kLock = "lock:velstrand";

// The present moved by `seconds`, as the engine writes it.
std::string stamp(long seconds) {
    const std::time_t t = std::time(nullptr) + seconds;
    std::tm tm{};
    gmtime_r(&t, &tm);
    char text[64];
    std::strftime(text, sizeof text, "%FT%T.123456+0000", &tm);
    return text;
}

// An event of `type` stamped `seconds` from now, unique by n.
std::string event(const std::string& type, long seconds, int n, const std::string& extra = "") {
    return R"({"timestamp":")" + stamp(seconds) + R"(","flow_id":)" + std::to_string(n) +
           R"(,"in_iface":"eth0","event_type":")" + type +
           R"(","src_ip":"10.0.0.1","dest_ip":"10.0.0.2","proto":"TCP")" + extra + "}";
}
constexpr long kStale = -3 * 86400;

// A settings file with the given members written as raw libconfig text; an empty text leaves
// the member out.
std::string settings_text(const std::string& main_key, const std::string& keys,
                          const std::string& valid_duration, const std::string& extra = "") {
    std::string s =
        "application = {\n  settings = {\n    sleeping_time = 1;\n"
        "    lock_expiration_time = 100;\n";
    if (!main_key.empty()) {
        s += "    main_key = " + main_key + ";\n";
    }
    if (!keys.empty()) {
        s += "    keys = " + keys + ";\n";
    }
    if (!valid_duration.empty()) {
        s += "    valid_duration = " + valid_duration + ";\n";
    }
    return s + "  };\n" + extra + "};\n";
}

// Replaces the settings file in one step, so a job reading it meanwhile sees the old or the new.
void replace_settings(const std::string& text) {
    const std::string tmp = std::string(kConfPath) + ".new";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out << text;
    }
    chmod(tmp.c_str(), 0644);
    ASSERT_EQ(rename(tmp.c_str(), kConfPath), 0);
}

size_t warnings_or_worse(const std::vector<LogLine>& lines) {
    return static_cast<size_t>(std::count_if(lines.begin(), lines.end(),
                                             [](const LogLine& l) { return l.priority <= 4; }));
}

class BadInput : public IntegrationTest {
  protected:
    // One batch of the real daemon (its first cycle starts at once), then a stop in its pause.
    // Returns the daemon's pid.
    pid_t run_one_batch(const StartOptions& o = {}, Millis timeout = 60s) {
        log->clear();
        const pid_t daemon = start_daemon("velstrand", o);
        EXPECT_TRUE(log->wait_for(kReleased, timeout)) << log->dump();
        stop(daemon);
        return daemon;
    }
    void stop(pid_t daemon) {
        kill(daemon, SIGTERM);
        EXPECT_TRUE(wait_exit(daemon, 10s).has_value());
    }
    // The lines of the daemon's one cycle that a bad settings file gave: fallbacks and a
    // 160-second pause, so no second cycle follows soon.
    void expect_single_cycle_then_pause(pid_t daemon) {
        EXPECT_TRUE(log->wait_for(kReleased, 10s)) << log->dump();
        pause_for(1500ms);
        EXPECT_EQ(log->count(kAcquired), 1u) << log->dump();
        stop(daemon);
    }
};

// ---------------------------------------------------------------- events

TEST_F(BadInput, FiftyMegabyteEventIsFannedOutAndKeptIntact) {
    write_settings(settings_text("\"suricata\"", "[ \"alert\" ]", "24"));
    const std::string huge =
        event("alert", -60, 2, R"(,"payload_printable":")" + std::string(50 << 20, 'x') + "\"");
    const std::string first = event("alert", -60, 1);
    const std::string last = event("alert", -60, 3);
    const std::string dns = event("dns", -60, 4);
    // A stale entry already in the list makes the retention job rewrite it, huge entry and all.
    redis->rpush("alert", {event("alert", kStale, 0)});
    redis->rpush("suricata", {first, huge, dns, last});
    const auto t0 = Clock::now();
    run_one_batch();
    const long ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
    std::printf("[ figures  ] a batch with a 50 MB event took %ld ms\n", ms);
    EXPECT_EQ(redis->llen("suricata"), 0);
    const std::vector<std::string> alerts = redis->lrange("alert");
    ASSERT_EQ(alerts.size(), 3u);
    EXPECT_EQ(alerts[0], last);
    EXPECT_TRUE(alerts[1] == huge) << "the 50 MB event changed: " << alerts[1].size() << " bytes";
    EXPECT_EQ(alerts[2], first);
    EXPECT_EQ(redis->lrange("dns"), std::vector<std::string>{dns});
    EXPECT_EQ(redis->llen("stats_report"), 1);
    EXPECT_EQ(warnings_or_worse(log->lines()), 0u) << log->dump();
}

TEST_F(BadInput, TenThousandMalformedEventsGoUnderTheEmptyTypeWithOneWarning) {
    write_settings(settings_text("\"suricata\"", "[ ]", "24"));
    const std::vector<std::string> kinds = {"not json at all",
                                            "",
                                            "42",
                                            R"("alert")",
                                            R"(["alert"])",
                                            R"({"event_type":{"name":"alert"}})",
                                            R"({"event_type":["alert"]})",
                                            R"({"event_type":"alert")",
                                            R"({"event_type":"alert",})",
                                            "{\"event_type\":\"al\x01ert\" \x01}"};
    std::vector<std::string> events, malformed, alerts, dns;
    for (int i = 0; i < 10000; ++i) {
        // Each malformed text is made unique, so the multiset check sees every single one.
        std::string bad = kinds[i % kinds.size()];
        bad += i % 2 ? " " + std::to_string(i) : "\n" + std::to_string(i);
        if (bad.rfind("not json", 0) != 0 && bad[0] != '\n' && bad[0] != ' ') {
            bad = std::string(i % 3, ' ') + bad;
        }
        malformed.push_back(bad);
        events.push_back(bad);
        const std::string good = event(i % 2 ? "alert" : "dns", -60, i);
        (i % 2 ? alerts : dns).insert((i % 2 ? alerts : dns).begin(), good);
        events.push_back(good);
    }
    redis->rpush("suricata", events);
    run_one_batch();
    EXPECT_EQ(redis->llen("suricata"), 0);
    EXPECT_EQ(redis->lrange("alert"), alerts);
    EXPECT_EQ(redis->lrange("dns"), dns);
    std::vector<std::string> filed = redis->lrange("");
    std::reverse(filed.begin(), filed.end());
    // Not JSON, JSON but no object, or an event_type of another kind: all go under the empty
    // type, in their order.
    EXPECT_EQ(filed.size(), malformed.size());
    EXPECT_TRUE(filed == malformed);
    const std::vector<std::string> keys = redis->keys();
    EXPECT_EQ(keys.size(), 4u) << "only alert, dns, the empty type and stats_report";
    const std::vector<LogLine> warned = log->matching("malformed events");
    ASSERT_EQ(warned.size(), 1u) << log->dump();
    EXPECT_EQ(warned[0].message,
              "redistransfer: 10000 malformed events filed under the empty type. uid=0");
    EXPECT_EQ(warned[0].priority, LOG_WARNING);
    EXPECT_EQ(warnings_or_worse(log->lines()), 1u) << log->dump();
}

TEST_F(BadInput, EntriesWhoseTimestampCannotBeReadAreDroppedEachWithItsLogLine) {
    write_settings(settings_text("\"suricata\"", "[ \"alert\" ]", "24"));
    const std::vector<std::pair<std::string, std::string>> bad = {
        {R"({"timestamp":"2026-01-01T00:00:00Z","event_type":"alert")", "Invalid date format"},
        {R"({"event_type":"alert")", "Invalid date format"},
        {R"({"timestamp":17,"event_type":"alert")", "Invalid date format"},
        {R"({"timestamp":"yesterday","event_type":"alert")", "Invalid date format"},
        {R"({"timestamp":{"s":1},"event_type":"alert")", "the timestamp is an object or an array"},
    };
    std::vector<std::string> list, kept;
    size_t invalid = 0;
    for (int i = 0; i < 10000; ++i) {
        if (i % 2 == 0) {
            list.push_back(bad[(i / 2) % bad.size()].first + R"(,"n":)" + std::to_string(i) + "}");
            ++invalid;
        } else {
            list.push_back(event("alert", -60, i));
            kept.push_back(list.back());
        }
    }
    list.push_back("[1,2,3]");
    list.push_back("{broken");
    redis->rpush("alert", list);
    run_one_batch();
    EXPECT_EQ(redis->lrange("alert"), kept);
    for (const auto& [text, reason] : bad) {
        const std::string line = "timeregister: invalid timestamp for key alert: " + reason;
        EXPECT_GT(log->count(line), 0u) << line;
    }
    EXPECT_EQ(log->count("timeregister: invalid timestamp for key alert: "), invalid + 1)
        << "one line per dropped entry";
    EXPECT_EQ(log->count("timeregister: invalid timestamp for key alert: the event is not a JSON "
                         "object"),
              1u);
    EXPECT_EQ(log->count("timeregister: JSON parse error for key alert"), 1u);
    for (const LogLine& l : log->matching("timeregister:")) {
        EXPECT_EQ(l.priority, LOG_ALERT);
    }
    EXPECT_EQ(redis->llen("stats_report"), 1);
}

TEST_F(BadInput, ZeroBytesInEventsAndTypesAreKeptByteForByte) {
    // libconfig drops a \x00 escape from a text, so a main key cannot hold a zero byte: the
    // daemon works on "suricata" and leaves the list whose name really holds one alone.
    write_settings(settings_text("\"suri\\x00cata\"", "[ \"alert\", \"dns\" ]", "24"));
    const std::string fresh = stamp(-60);
    const std::string type_with_zeros = "\0a\0\0b\0"s;
    const std::vector<std::string> events = {
        R"({"event_type":"\u0000a\u0000\u0000b\u0000","n":1})",
        "\0{\"event_type\":\"alert\"}"s,
        "{\"timestamp\":\""s + fresh + "\",\"event_type\":\"alert\"}\0\0garbage\0"s,
        "{\"timestamp\":\""s + fresh + "\\u0000\",\"event_type\":\"alert\",\"n\":2}",
        "{\"timestamp\":\""s + fresh + "\",\"event_type\":\"dns\",\"p\":\"\0\0\0\"}"s,
        std::string(1000, '\0'),
    };
    redis->rpush("suricata", events);
    const std::string other_main = "suri\0cata"s;
    const std::string other_event = event("alert", -60, 9);
    redis->rpush(other_main, {other_event});
    run_one_batch();
    EXPECT_EQ(redis->llen("suricata"), 0);
    EXPECT_EQ(redis->lrange(other_main), std::vector<std::string>{other_event})
        << "the list whose name holds a zero byte was touched";
    EXPECT_EQ(redis->lrange(type_with_zeros), std::vector<std::string>{events[0]});
    // jsoncpp ignores what follows the object, so the text with a tail after its zero bytes is
    // an alert; the timestamp with a zero byte in it cannot be read and is dropped with a line.
    EXPECT_EQ(redis->lrange("alert"), std::vector<std::string>{events[2]});
    EXPECT_EQ(redis->lrange("dns"), std::vector<std::string>{events[4]});
    EXPECT_EQ(redis->lrange(""), (std::vector<std::string>{events[5], events[1]}));
    const std::vector<LogLine> warned = log->matching("malformed events");
    ASSERT_EQ(warned.size(), 1u) << log->dump();
    EXPECT_EQ(warned[0].message,
              "redistransfer: 2 malformed events filed under the empty type. uid=0");
    const std::vector<LogLine> dropped = log->matching("timeregister: invalid timestamp");
    ASSERT_EQ(dropped.size(), 1u) << log->dump();
    EXPECT_EQ(dropped[0].message,
              "timeregister: invalid timestamp for key alert: Invalid date "
              "format");
    EXPECT_EQ(warnings_or_worse(log->lines()), 2u) << log->dump();
}

// ---------------------------------------------------------------- settings files

// The pause and the lock lifetime with every kind of value the settings library knows that is
// not a plain int (beyond the ones the settings readers' own tests try).
TEST_F(BadInput, EveryOtherTypeForThePauseAndLockLifetimeFallsBack) {
    for (const char* value :
         {"true", "\"\"", "5L", "0L", "( 5 )", "[ ]", "{ seconds = 5; }", "-2147483648"}) {
        SCOPED_TRACE(value);
        log->clear();
        write_settings(std::string("application = { settings = { sleeping_time = ") + value +
                       "; lock_expiration_time = " + value + "; }; };\n");
        EXPECT_EQ(get_sleeping_time(kDaemonProfile.prefix), 60);
        EXPECT_EQ(get_lock_expiration_time(kDaemonProfile.prefix), 100);
        EXPECT_TRUE(log->wait_for("velstrand: sleeping_time missing/invalid, fallback to 60", 2s));
        EXPECT_TRUE(
            log->wait_for("velstrand: lock_expiration_time missing/invalid, fallback to 100", 2s));
    }
    // Through the daemon: both warnings (the first before it detaches), one cycle, a long pause.
    log->clear();
    write_settings(
        "application = { settings = { sleeping_time = true; lock_expiration_time = "
        "\"5\"; main_key = \"suricata\"; keys = [ ]; valid_duration = 24; }; };\n");
    const std::string e = event("alert", -60, 1);
    redis->rpush("suricata", {e});
    const pid_t daemon = start_daemon("velstrand");
    expect_single_cycle_then_pause(daemon);
    const auto sleeping = log->matching("velstrand: sleeping_time missing/invalid, fallback to 60");
    ASSERT_EQ(sleeping.size(), 1u) << log->dump();
    EXPECT_EQ(sleeping[0].pid, -1);
    EXPECT_EQ(sleeping[0].priority, LOG_WARNING);
    const auto lock =
        log->matching("velstrand: lock_expiration_time missing/invalid, fallback to 100");
    ASSERT_EQ(lock.size(), 1u) << log->dump();
    EXPECT_EQ(lock[0].pid, daemon);
    EXPECT_EQ(redis->lrange("alert"), std::vector<std::string>{e});
}

// The jobs' settings with every wrong type, each for one batch of one running daemon: the
// file is changed while another holder keeps the lock, then the lock is let go for one batch.
TEST_F(BadInput, EveryWrongTypeForTheJobsSettingsIsLoggedAndLosesNothing) {
    struct Variant {
        std::string main_key, keys, valid_duration;
        const char* error;  // the batch's error line, or nullptr for a quiet batch
        bool fanned_out, dns_trimmed, report;
    };
    const char* const kTypeError = "velstrand: error in batch: SettingTypeException";
    const std::vector<Variant> variants = {
        // main_key of another type names the empty list, silently; valid_duration of another
        // type ends the batch before the retention job touches a list and before the report.
        {"5", "[ \"alert\" ]", "\"24\"", kTypeError, false, false, false},
        {"2.5", "[ \"alert\" ]", "24.0", kTypeError, false, false, false},
        {"false", "[ \"alert\" ]", "true", kTypeError, false, false, false},
        {"5L", "[ \"alert\" ]", "24L", kTypeError, false, false, false},
        {"[ \"suricata\" ]", "[ \"alert\" ]", "[ 24 ]", kTypeError, false, false, false},
        {"( \"suricata\" )", "[ \"alert\" ]", "( 24 )", kTypeError, false, false, false},
        {"{ k = \"suricata\"; }", "[ \"alert\" ]", "{ h = 24; }", kTypeError, false, false, false},
        // keys as a single value names no list: nothing trimmed, nothing logged.
        {"\"suricata\"", "\"dns\"", "24", nullptr, true, false, true},
        {"\"suricata\"", "7", "24", nullptr, true, false, true},
        // A name that is not a text ends the batch there: the names before it were trimmed.
        {"\"suricata\"", "[ 1 ]", "24", kTypeError, true, false, false},
        {"\"suricata\"", "( \"dns\", 5, \"alert\" )", "24", kTypeError, true, true, false},
    };
    const std::string fresh = event("alert", -60, 1);
    const std::string stale_alert = event("alert", kStale, 2);
    const std::string stale_dns = event("dns", kStale, 3);
    write_settings(settings_text("\"suricata\"", "[ ]", "24"));
    redis->set(kLock, std::to_string(getpid()));  // a live holder: the daemon waits
    const pid_t daemon = start_daemon("velstrand");
    long long reports = 0;
    for (const Variant& v : variants) {
        SCOPED_TRACE(v.main_key + " / " + v.keys + " / " + v.valid_duration);
        // A busy line after the lock was taken means no batch runs until it is let go.
        log->clear();
        redis->set(kLock, std::to_string(getpid()));
        ASSERT_TRUE(log->wait_for(kBusy, 5s)) << log->dump();
        replace_settings(settings_text(v.main_key, v.keys, v.valid_duration));
        for (const char* key : {"suricata", "alert", "dns", ""}) {
            redis->del(key);
        }
        redis->rpush("suricata", {fresh});
        redis->rpush("alert", {stale_alert});
        redis->rpush("dns", {stale_dns});
        reports = redis->llen("stats_report");
        log->clear();
        redis->del(kLock);
        ASSERT_TRUE(log->wait_for(kReleased, 5s)) << log->dump();
        const std::vector<LogLine> lines = log->lines();
        if (v.error != nullptr) {
            const std::vector<LogLine> errors = log->matching("error in batch");
            ASSERT_EQ(errors.size(), 1u) << log->dump();
            EXPECT_EQ(errors[0].message, v.error);
            EXPECT_EQ(errors[0].priority, LOG_ALERT);
        }
        EXPECT_EQ(warnings_or_worse(lines), v.error != nullptr ? 1u : 0u) << log->dump();
        if (v.fanned_out) {
            EXPECT_EQ(redis->llen("suricata"), 0);
            EXPECT_EQ(redis->lrange("alert"), (std::vector<std::string>{fresh, stale_alert}));
        } else {
            EXPECT_EQ(redis->lrange("suricata"), std::vector<std::string>{fresh});
            EXPECT_EQ(redis->lrange("alert"), std::vector<std::string>{stale_alert});
        }
        EXPECT_EQ(redis->lrange("dns"),
                  v.dns_trimmed ? std::vector<std::string>{} : std::vector<std::string>{stale_dns});
        EXPECT_FALSE(redis->exists(""));
        EXPECT_EQ(redis->llen("stats_report"), reports + (v.report ? 1 : 0));
    }
    stop(daemon);
}

TEST_F(BadInput, DuplicatedKeysAreAParseErrorAndEveryReaderFallsBack) {
    const std::string line = "Parse error at /etc/quellbay/conf.cfg:";
    write_settings(
        "application = { settings = { sleeping_time = 1; main_key = \"suricata\";\n"
        "  keys = [ \"alert\" ]; valid_duration = 24; };\n"
        "  settings = { sleeping_time = 1; }; };\n");
    EXPECT_EQ(get_sleeping_time(kDaemonProfile.prefix), 160);
    ASSERT_TRUE(log->wait_for(line, 2s)) << log->dump();
    EXPECT_EQ(log->matching(line)[0].message, line + "3 - duplicate setting name");

    write_settings(
        "application = { settings = { sleeping_time = 1;\n"
        "  main_key = \"suricata\"; keys = [ \"alert\" ];\n"
        "  valid_duration = 24; sleeping_time = 2; }; };\n");
    const std::vector<std::string> events = {event("alert", -60, 1), event("alert", kStale, 2)};
    redis->rpush("suricata", events);
    log->clear();
    const pid_t daemon = start_daemon("velstrand");
    expect_single_cycle_then_pause(daemon);
    // The loop's two readers and the two jobs each report it; the jobs do nothing.
    const std::vector<LogLine> errors = log->matching(line);
    ASSERT_EQ(errors.size(), 4u) << log->dump();
    for (const LogLine& l : errors) {
        EXPECT_EQ(l.message, line + "3 - duplicate setting name");
        EXPECT_EQ(l.priority, LOG_ALERT);
    }
    EXPECT_EQ(errors[0].pid, -1);
    EXPECT_EQ(redis->lrange("suricata"), events);
    EXPECT_EQ(redis->llen("stats_report"), 1);
    EXPECT_EQ(warnings_or_worse(log->lines()), 4u) << log->dump();
}

TEST_F(BadInput, DirectoryInPlaceOfTheFileIsAnIoError) {
    remove_settings();
    ASSERT_EQ(mkdir(kConfPath, 0755), 0);
    const std::vector<std::string> events = {event("alert", -60, 1)};
    redis->rpush("suricata", events);
    const pid_t daemon = start_daemon("velstrand");
    expect_single_cycle_then_pause(daemon);
    rmdir(kConfPath);
    EXPECT_EQ(log->count("velstrand: I/O error while reading /etc/quellbay/conf.cfg (uid=0)"), 2u)
        << log->dump();
    EXPECT_EQ(log->count("redistransfer: I/O error while reading config file. uid=0"), 1u);
    EXPECT_EQ(log->count("timeregister: I/O error while reading config file. uid=0"), 1u);
    EXPECT_EQ(warnings_or_worse(log->lines()), 4u) << log->dump();
    EXPECT_EQ(redis->lrange("suricata"), events);
    EXPECT_EQ(redis->llen("stats_report"), 1);
}

// The settings library ends the process (exit status 2) when an included file cannot be read to
// its end, and blocks on a FIFO: such includes are refused as includes it cannot open, at their
// own file and line, and the daemon goes on with its fallbacks.
TEST_F(BadInput, IncludedDirectoryOrFifoIsAParseErrorNotAnExitOrAHang) {
    const std::string dir = "/etc/quellbay/conf.d";
    const std::string fifo = "/etc/quellbay/pipe.cfg";
    const std::string nested = "/etc/quellbay/nested.cfg";
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    {
        std::ofstream out(nested);
        out << "# names the FIFO\n@include \"" << fifo << "\"\n";
    }
    const std::string line = " - cannot open include file";
    const std::string good = settings_text("\"suricata\"", "[ \"alert\" ]", "24");

    write_settings("# one\n\n  @include \"" + dir + "\"\n" + good);
    EXPECT_EQ(get_sleeping_time(kDaemonProfile.prefix), 160);
    EXPECT_TRUE(log->wait_for("Parse error at /etc/quellbay/conf.cfg:3" + line, 2s)) << log->dump();

    write_settings(good + "@include \"" + nested + "\"\n");
    EXPECT_EQ(get_lock_expiration_time(kDaemonProfile.prefix), 100);
    EXPECT_TRUE(log->wait_for("Parse error at " + nested + ":2" + line, 2s)) << log->dump();

    // Where the library does not see an include, neither is one seen here.
    write_settings("/*\n@include \"" + dir + "\"\n*/\n# @include \"" + dir + "\"\n" + good);
    EXPECT_EQ(get_sleeping_time(kDaemonProfile.prefix), 1);

    // The daemon itself: one cycle with every reader refusing the file, nothing moved or lost.
    write_settings(good + "@include \"" + dir + "\"\n");
    const std::vector<std::string> events = {event("alert", -60, 1)};
    redis->rpush("suricata", events);
    log->clear();
    const pid_t daemon = start_daemon("velstrand");
    expect_single_cycle_then_pause(daemon);
    EXPECT_EQ(log->count(line), 4u) << log->dump();
    EXPECT_EQ(redis->lrange("suricata"), events);
    EXPECT_EQ(redis->llen("stats_report"), 1);

    // A FIFO in place of the settings file is an I/O error, not a read that never ends.
    remove_settings();
    ASSERT_EQ(mkfifo(kConfPath, 0644), 0);
    EXPECT_EQ(get_sleeping_time(kDaemonProfile.prefix), 160);
    EXPECT_TRUE(
        log->wait_for("velstrand: I/O error while reading /etc/quellbay/conf.cfg (uid=0)", 2s))
        << log->dump();
    unlink(kConfPath);
    unlink(fifo.c_str());
    unlink(nested.c_str());
    rmdir(dir.c_str());
}

TEST_F(BadInput, UnreadableFileForANonRootDaemonIsAnIoErrorWithItsUid) {
    write_settings(settings_text("\"suricata\"", "[ \"alert\" ]", "24"));
    ASSERT_EQ(chmod(kConfPath, 0), 0);
    const std::vector<std::string> events = {event("alert", -60, 1)};
    redis->rpush("suricata", events);
    const std::string stale = event("alert", kStale, 2);
    redis->rpush("alert", {stale});
    StartOptions nobody;
    nobody.uid = 65534;
    const pid_t daemon = start_daemon("velstrand", nobody);
    expect_single_cycle_then_pause(daemon);
    EXPECT_EQ(log->count("velstrand: I/O error while reading /etc/quellbay/conf.cfg (uid=65534)"),
              2u)
        << log->dump();
    EXPECT_EQ(log->count("redistransfer: I/O error while reading config file. uid=65534"), 1u);
    EXPECT_EQ(log->count("timeregister: I/O error while reading config file. uid=65534"), 1u);
    EXPECT_EQ(log->count("velstrand started by system 65534"), 1u);
    EXPECT_EQ(warnings_or_worse(log->lines()), 4u) << log->dump();
    EXPECT_EQ(redis->lrange("suricata"), events);
    EXPECT_EQ(redis->lrange("alert"), std::vector<std::string>{stale});
    EXPECT_EQ(redis->llen("stats_report"), 1);
}

TEST_F(BadInput, TenMegabyteSettingsFileIsReadLikeAnyOther) {
    std::string padding = "  padding = (";
    const std::string item = "\"" + std::string(96, 'p') + "\"";
    while (padding.size() < (10u << 20)) {
        padding += padding.back() == '(' ? "\n    " + item : ",\n    " + item;
    }
    padding += "\n  );\n";
    write_settings("# " + std::string(100000, '#') + "\n" +
                   settings_text("\"suricata\"", "[ \"alert\" ]", "24", padding));
    struct stat st {};
    ASSERT_EQ(stat(kConfPath, &st), 0);
    EXPECT_GE(st.st_size, 10 << 20);
    const std::string fresh = event("alert", -60, 1);
    redis->rpush("alert", {event("alert", kStale, 2)});
    redis->rpush("suricata", {fresh});
    const auto t0 = Clock::now();
#ifdef VT_SANITIZED
    // The settings library grows its lists by small reallocations, and the sanitizer's
    // allocator moves every one: the four reads of the batch take the better part of a minute.
    run_one_batch({}, 240s);
#else
    run_one_batch();
#endif
    std::printf(
        "[ figures  ] start and one batch with a %ld-byte settings file: %ld ms\n",
        static_cast<long>(st.st_size),
        static_cast<long>(
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count()));
    EXPECT_EQ(redis->llen("suricata"), 0);
    EXPECT_EQ(redis->lrange("alert"), std::vector<std::string>{fresh});
    EXPECT_EQ(redis->llen("stats_report"), 1);
    EXPECT_EQ(warnings_or_worse(log->lines()), 0u) << log->dump();
}

// ---------------------------------------------------------------- lock values

// Texts that name no live process: the first cycle takes the lock over at once.
TEST_F(BadInput, LockHoldingNoLiveIdIsTakenOverAtOnce) {
    for (const std::string& value :
         {"not a number"s, ""s, "-7"s, "-2147483649"s, "99999999999999999999"s, "0"s, "\0 12"s,
          std::string(1 << 20, '9')}) {
        SCOPED_TRACE(value.size() > 40 ? value.substr(0, 40) + "..." : value);
        redis->cmd({"SET", kLock, value, "EX", "60"});
        const std::string e = event("alert", -60, static_cast<int>(value.size()));
        redis->rpush("suricata", {e});
        run_one_batch();
        EXPECT_EQ(log->count(kBusy), 0u) << log->dump();
        EXPECT_FALSE(redis->exists(kLock)) << "released after the batch";
        EXPECT_EQ(redis->llen("suricata"), 0);
        EXPECT_EQ(redis->lrange("alert").front(), e);
        EXPECT_EQ(warnings_or_worse(log->lines()), 0u) << log->dump();
    }
}

// A list in the lock key: every cycle is busy, nothing moves and nothing is lost, until the key
// is deleted.
TEST_F(BadInput, LockKeyHoldingAListBlocksEveryCycleUntilDeleted) {
    redis->cmd({"RPUSH", kLock, "12", "34"});
    const std::vector<std::string> events = {event("alert", -60, 1), event("dns", -60, 2)};
    redis->rpush("suricata", events);
    log->clear();
    const pid_t daemon = start_daemon("velstrand");
    ASSERT_TRUE(log->wait_for(kBusy, 5s, 2)) << log->dump();
    EXPECT_EQ(log->count(kAcquired), 0u);
    EXPECT_EQ(redis->lrange(kLock), (std::vector<std::string>{"12", "34"}));
    EXPECT_EQ(redis->lrange("suricata"), events);
    for (const LogLine& l : log->matching(kBusy)) {
        EXPECT_EQ(l.priority, LOG_INFO);
        EXPECT_EQ(l.pid, daemon);
    }
    redis->del(kLock);
    ASSERT_TRUE(log->wait_for(kReleased, 5s)) << log->dump();
    stop(daemon);
    EXPECT_EQ(redis->llen("suricata"), 0);
    EXPECT_EQ(redis->lrange("alert"), std::vector<std::string>{events[0]});
    EXPECT_EQ(redis->lrange("dns"), std::vector<std::string>{events[1]});
}

// The id of a live process, also when a huge text narrows to one (4294967297 is pid 1, this
// namespace's init), keeps the lock until its lifetime ends; then the waiting events move.
TEST_F(BadInput, LockOfALiveUnrelatedProcessHoldsUntilItExpires) {
    const pid_t holder = spawn_named_process("holder");
    for (const std::string& value : {std::to_string(holder), "4294967297"s}) {
        SCOPED_TRACE(value);
        redis->cmd({"SET", kLock, value, "EX", "2"});
        const std::string e = event("alert", -60, static_cast<int>(value.size()));
        redis->rpush("suricata", {e});
        log->clear();
        const pid_t daemon = start_daemon("velstrand");
        ASSERT_TRUE(log->wait_for(kBusy, 5s)) << log->dump();
        EXPECT_EQ(redis->get(kLock).value_or(""), value);
        EXPECT_EQ(redis->lrange("suricata"), std::vector<std::string>{e});
        ASSERT_TRUE(log->wait_for(kReleased, 6s)) << log->dump();
        stop(daemon);
        EXPECT_GE(log->count(kBusy), 1u);
        EXPECT_EQ(redis->llen("suricata"), 0);
        EXPECT_EQ(redis->lrange("alert").front(), e);
        EXPECT_EQ(warnings_or_worse(log->lines()), 0u) << log->dump();
    }
}

// A lock that names the daemon itself (left by an earlier process of the same id, say) counts
// as alive: the daemon waits for its lifetime to end rather than deleting it.
TEST_F(BadInput, LockNamingTheDaemonItselfHoldsUntilItExpires) {
    redis->set(kLock, std::to_string(getpid()));
    const std::string e = event("alert", -60, 1);
    redis->rpush("suricata", {e});
    log->clear();
    const pid_t daemon = start_daemon("velstrand");
    ASSERT_TRUE(log->wait_for(kBusy, 5s)) << log->dump();
    redis->cmd({"SET", kLock, std::to_string(daemon), "EX", "2"});
    log->clear();
    ASSERT_TRUE(log->wait_for(kBusy, 5s)) << log->dump();
    EXPECT_EQ(redis->get(kLock).value_or(""), std::to_string(daemon));
    EXPECT_EQ(redis->lrange("suricata"), std::vector<std::string>{e});
    ASSERT_TRUE(log->wait_for(kReleased, 6s)) << log->dump();
    stop(daemon);
    EXPECT_EQ(redis->llen("suricata"), 0);
    EXPECT_EQ(redis->lrange("alert"), std::vector<std::string>{e});
    EXPECT_FALSE(redis->exists(kLock));
    EXPECT_EQ(warnings_or_worse(log->lines()), 0u) << log->dump();
}

}  // namespace
}  // namespace vt
