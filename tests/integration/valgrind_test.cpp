// The test build's five batches under valgrind's memcheck: every job does real work in every
// batch, and no process of the run reads or writes memory it does not own or loses a block.
#include <dirent.h>
#include <sys/wait.h>

#include <ctime>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "harness/harness.h"

namespace vt {
namespace {

constexpr const char* kLogDir = "/mnt/scratch";
const std::string kLogPrefix = "vg.";

// The present moved by `seconds`, as the engine writes it.
std::string stamp(long seconds) {
    const std::time_t t = std::time(nullptr) + seconds;
    std::tm tm{};
    gmtime_r(&t, &tm);
    char text[64];
    std::strftime(text, sizeof text, "%FT%T.123456+0000", &tm);
    return text;
}

std::string event(const std::string& type, long age_seconds, int n) {
    return R"({"timestamp":")" + stamp(-age_seconds) + R"(","flow_id":)" + std::to_string(n) +
           R"(,"event_type":")" + type + R"(","src_ip":"10.0.0.1","dest_port":80})";
}

// A wave of events for the main list: fresh ones of three types (two of them kept lists), a
// stale alert for the retention job to drop, and one that is no JSON at all.
std::vector<std::string> wave(int base) {
    std::vector<std::string> out;
    for (int i = 0; i < 30; ++i) {
        static const char* const kTypes[] = {"alert", "dns", "flow"};
        out.push_back(event(kTypes[i % 3], 60, base + i));
    }
    out.push_back(event("alert", 72 * 3600, base + 100));
    out.push_back("{not json");
    return out;
}

struct ValgrindLog {
    std::string name;
    std::string text;
};

std::vector<ValgrindLog> read_logs() {
    std::vector<ValgrindLog> logs;
    if (DIR* dir = opendir(kLogDir)) {
        while (const dirent* e = readdir(dir)) {
            const std::string name = e->d_name;
            if (name.rfind(kLogPrefix, 0) == 0) {
                std::ifstream in(std::string(kLogDir) + "/" + name);
                std::ostringstream text;
                text << in.rdbuf();
                logs.push_back({name, text.str()});
            }
        }
        closedir(dir);
    }
    return logs;
}

class Valgrind : public IntegrationTest {
  protected:
    void SetUp() override {
#ifdef VT_SANITIZED
        GTEST_SKIP() << "memcheck cannot run a sanitized build";
#endif
        std::string version;
        if (run_command({"valgrind", "--version"}, &version) != 0) {
            GTEST_SKIP() << "valgrind is not installed";
        }
        IntegrationTest::SetUp();
    }
};

TEST_F(Valgrind, FiveFullBatchesShowNoInvalidAccessAndNoDefinitelyLostBlock) {
    Settings s;
    s.keys = std::vector<std::string>{"alert", "dns"};
    write_settings(s);
    // Kept lists already holding stale and fresh entries, so the first run has work too.
    redis->rpush("alert", {event("alert", 48 * 3600, 1), event("alert", 60, 2)});
    redis->rpush("dns", {event("dns", 30 * 3600, 3), "[1,2]", "{oops", event("dns", 60, 4)});
    redis->rpush("suricata", wave(1000));
    const pid_t engine = spawn_named_process("Suricata-Main", 4);
    ASSERT_GT(engine, 0);

    StartOptions o;
    // The daemon forks without exec, so its child stays under memcheck; the popen'd pgrep is
    // not ours and runs natively.
    o.wrapper = {"valgrind",
                 "--tool=memcheck",
                 "--trace-children=no",
                 "--leak-check=full",
                 "--show-leak-kinds=definite",
                 "--errors-for-leak-kinds=definite",
                 "--error-exitcode=99",
                 "--num-callers=30",
                 std::string("--log-file=") + kLogDir + "/" + kLogPrefix + "%p"};
    const pid_t daemon = start_daemon("velstrandtest", o);
    ASSERT_GT(daemon, 0);

    // A new wave every half second, so every batch has events to move and to age.
    int waves = 1;
    std::optional<int> status;
    const auto deadline = std::chrono::steady_clock::now() + 90s;
    while (!(status = wait_exit(daemon, 500ms)) && std::chrono::steady_clock::now() < deadline) {
        redis->rpush("suricata", wave(1000 * ++waves));
    }
    ASSERT_TRUE(status.has_value()) << "velstrandtest under valgrind did not end within 90 s";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << "wait status " << *status;

    // All three jobs did their work.
    EXPECT_GE(redis->llen("flow"), 30);
    EXPECT_GE(redis->llen("alert"), 10);
    for (const std::string& e : redis->lrange("alert")) {
        EXPECT_EQ(e.find("\"flow_id\":1100,"), std::string::npos) << "a stale alert was kept";
    }
    EXPECT_GE(log->count("timeregister: JSON parse error for key dns"), 1u);
    EXPECT_GE(log->count("timeregister: invalid timestamp for key dns"), 1u);

    // One log per process: the started one, the daemon, and the daemon's popen children, whose
    // logs end where they exec the untraced shell.
    const std::vector<ValgrindLog> logs = read_logs();
    const std::regex summary(R"(ERROR SUMMARY: (\d+) errors)");
    int summaries = 0;
    bool daemon_summary = false;
    for (const ValgrindLog& l : logs) {
        std::smatch m;
        if (std::regex_search(l.text, m, summary)) {
            ++summaries;
            daemon_summary |= l.name == kLogPrefix + std::to_string(daemon);
            EXPECT_EQ(m[1], "0") << l.name << ":\n" << l.text;
        }
        for (const char* bad : {"Invalid read", "Invalid write", "Invalid free",
                                "uninitialised value", "definitely lost in"}) {
            EXPECT_EQ(l.text.find(bad), std::string::npos) << l.name << ":\n" << l.text;
        }
    }
    EXPECT_TRUE(daemon_summary) << "no summary from the daemon " << daemon;
    EXPECT_GE(summaries, 2);
    std::printf("valgrind: %zu log files, %d with a summary, %d waves of events pushed\n",
                logs.size(), summaries, waves);
}

}  // namespace
}  // namespace vt
