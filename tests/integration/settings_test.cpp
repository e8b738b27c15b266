// The loop's settings readers against real files: fallbacks, messages and both prefixes.
#include <syslog.h>
#include <unistd.h>

#include "base/settings.h"
#include "daemon/profile.h"
#include "harness/harness.h"

namespace vt {
namespace {

class SettingsReaders : public IntegrationTest {};

constexpr const char* kIoError =
    "velstrand: I/O error while reading /etc/quellbay/conf.cfg (uid=0)";

TEST_F(SettingsReaders, MissingFileGives160And100WithTheIoMessage) {
    remove_settings();
    EXPECT_EQ(get_sleeping_time(kDaemonProfile.prefix), 160);
    EXPECT_EQ(get_lock_expiration_time(kDaemonProfile.prefix), 100);
    ASSERT_TRUE(log->wait_for(kIoError, 2s, 2)) << log->dump();
    for (const LogLine& l : log->matching(kIoError)) {
        EXPECT_EQ(l.priority, LOG_ALERT);
        EXPECT_EQ(l.message, kIoError);
    }
    EXPECT_EQ(get_sleeping_time(kTestProfile), 160);
    EXPECT_TRUE(
        log->wait_for("velstrandtest: I/O error while reading /etc/quellbay/conf.cfg (uid=0)", 2s));
}

TEST_F(SettingsReaders, SyntaxErrorNamesFileAndLine) {
    write_settings(
        "# comment\n\napplication = {\n  settings = {\n    sleeping_time = 5;\n\n"
        "    lock_expiration_time = = 7;\n  };\n};\n");
    EXPECT_EQ(get_sleeping_time(kDaemonProfile.prefix), 160);
    EXPECT_EQ(get_lock_expiration_time(kTestProfile), 100);
    ASSERT_TRUE(log->wait_for("Parse error at ", 2s, 2)) << log->dump();
    for (const LogLine& l : log->matching("Parse error at ")) {
        EXPECT_EQ(l.priority, LOG_ALERT);
        EXPECT_EQ(l.message.rfind("Parse error at /etc/quellbay/conf.cfg:7 - ", 0), 0u)
            << l.message;
        EXPECT_GT(l.message.size(),
                  std::string("Parse error at /etc/quellbay/conf.cfg:7 - ").size());
    }
}

TEST_F(SettingsReaders, InvalidValuesFallBackWithAWarning) {
    for (const char* value : {"0", "-3", "\"5\"", "2.5", "10000000000L", "[1]"}) {
        SCOPED_TRACE(value);
        log->clear();
        write_settings(std::string("application = { settings = { sleeping_time = ") + value +
                       "; lock_expiration_time = " + value + "; }; };\n");
        EXPECT_EQ(get_sleeping_time(kDaemonProfile.prefix), 60);
        EXPECT_EQ(get_lock_expiration_time(kTestProfile), 100);
        ASSERT_TRUE(log->wait_for("fallback to", 2s, 2));
        const auto sleeping =
            log->matching("velstrand: sleeping_time missing/invalid, fallback to 60");
        const auto lock =
            log->matching("velstrandtest: lock_expiration_time missing/invalid, fallback to 100");
        ASSERT_EQ(sleeping.size(), 1u) << log->dump();
        ASSERT_EQ(lock.size(), 1u) << log->dump();
        EXPECT_EQ(sleeping[0].priority, LOG_WARNING);
        EXPECT_EQ(lock[0].priority, LOG_WARNING);
    }
}

TEST_F(SettingsReaders, OneSecondAndOtherValidValuesAreUsedAsIs) {
    write_settings(Settings{.sleeping_time = 1, .lock_expiration_time = 1});
    EXPECT_EQ(get_sleeping_time(kDaemonProfile.prefix), 1);
    EXPECT_EQ(get_lock_expiration_time(kDaemonProfile.prefix), 1);
    write_settings(Settings{.sleeping_time = 3600, .lock_expiration_time = 2147483647});
    EXPECT_EQ(get_sleeping_time(kDaemonProfile.prefix), 3600);
    EXPECT_EQ(get_lock_expiration_time(kDaemonProfile.prefix), 2147483647);
    pause_for(100ms);
    EXPECT_TRUE(log->lines().empty()) << log->dump();
}

TEST_F(SettingsReaders, MissingOrMistypedGroupsFallBackLikeAMissingKey) {
    for (const char* text :
         {"other = 1;\n", "application = 5;\n", "application = { other = { }; };\n",
          "application = { settings = 3; };\n", ""}) {
        SCOPED_TRACE(text);
        log->clear();
        write_settings(text);
        EXPECT_EQ(get_sleeping_time(kDaemonProfile.prefix), 60);
        EXPECT_EQ(get_lock_expiration_time(kDaemonProfile.prefix), 100);
        EXPECT_TRUE(log->wait_for("velstrand: sleeping_time missing/invalid, fallback to 60", 2s));
        EXPECT_TRUE(
            log->wait_for("velstrand: lock_expiration_time missing/invalid, fallback to 100", 2s));
    }
}

// Through the real program: both readers log their own I/O line, the first before the fork under
// libc's default identity (no pid), the second from the daemon; the first cycle starts at once.
TEST_F(SettingsReaders, DaemonWithoutSettingsFileStillCycles) {
    remove_settings();
    const pid_t daemon = start_daemon("velstrand");
    ASSERT_TRUE(log->wait_for("velstrand: lock lock:velstrand released", 5s)) << log->dump();
    const std::vector<LogLine> io = log->matching(kIoError);
    ASSERT_EQ(io.size(), 2u) << log->dump();
    EXPECT_EQ(io[0].pid, -1);
    EXPECT_EQ(io[0].ident, "velstrand");
    EXPECT_EQ(io[1].pid, daemon);
    // The pause is now 160 s: no second cycle follows soon.
    pause_for(1500ms);
    EXPECT_EQ(log->count("acquired"), 1u);
}

}  // namespace
}  // namespace vt
