// Start-up of both programs: detaching, descriptors, syslog identity, the test build's run.
#include <fcntl.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <climits>
#include <fstream>
#include <regex>

#include "harness/harness.h"

namespace vt {
namespace {

class Startup : public IntegrationTest {};

std::string link_target(const std::string& path) {
    char buf[PATH_MAX];
    const ssize_t n = readlink(path.c_str(), buf, sizeof buf - 1);
    return n < 0 ? "" : std::string(buf, static_cast<size_t>(n));
}

// Field 6 of /proc/<pid>/stat: the session id.
long session_of(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::istringstream rest(all.substr(all.rfind(')') + 2));
    std::string state;
    long ppid = 0, pgrp = 0, session = 0;
    rest >> state >> ppid >> pgrp >> session;
    return session;
}

std::map<int, std::string> open_descriptors(pid_t pid) {
    std::map<int, std::string> fds;
    const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    for (int fd = 0; fd < 4096; ++fd) {
        const std::string target = link_target(dir + "/" + std::to_string(fd));
        if (!target.empty()) {
            fds[fd] = target;
        }
    }
    return fds;
}

TEST_F(Startup, DaemonDetachesWithCleanDescriptorsAndLogsAsVelstrand) {
    write_settings(Settings{.sleeping_time = 100});
    // Descriptors the daemon must not inherit: a low one and one far above the usual range.
    const int low = open("/dev/zero", O_RDONLY);
    const int high = dup2(low, 900);
    ASSERT_GE(low, 0);
    ASSERT_EQ(high, 900);

    pid_t daemon = -1;
    const int status = start_program("velstrand", {}, &daemon);
    close(low);
    close(high);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    ASSERT_GT(daemon, 0);
    ASSERT_TRUE(log->wait_for("velstrand: lock lock:velstrand released"));

    EXPECT_EQ(session_of(daemon), daemon) << "not a session leader";
    EXPECT_EQ(link_target("/proc/" + std::to_string(daemon) + "/cwd"), "/");
    const std::map<int, std::string> fds = open_descriptors(daemon);
    for (int fd = 0; fd <= 2; ++fd) {
        EXPECT_EQ(fds.count(fd) ? fds.at(fd) : "", "/dev/null") << "fd " << fd;
    }
    // Besides 0-2 only the syslog socket stays open; the loop's Redis connection is freed
    // before the pause.
    ASSERT_EQ(fds.size(), 4u);
    EXPECT_EQ(fds.rbegin()->second.rfind("socket:", 0), 0u) << fds.rbegin()->second;

    const std::vector<LogLine> started = log->matching("velstrand started by system 0");
    ASSERT_EQ(started.size(), 1u) << log->dump();
    EXPECT_EQ(started[0].message, "velstrand started by system 0");
    EXPECT_EQ(started[0].ident, "velstrand");
    EXPECT_EQ(started[0].pid, daemon);
    EXPECT_EQ(started[0].facility, LOG_USER >> 3);
    EXPECT_EQ(started[0].priority, LOG_INFO);
    for (const LogLine& l : log->lines()) {
        EXPECT_NE(l.priority, LOG_DEBUG) << l.raw;
        EXPECT_EQ(l.ident, "velstrand") << l.raw;
    }

    kill(daemon, SIGTERM);
    const std::optional<int> end = wait_exit(daemon, 20s);
    ASSERT_TRUE(end.has_value()) << "SIGTERM did not end the pause";
    EXPECT_TRUE(WIFEXITED(*end) && WEXITSTATUS(*end) == 0) << *end;
}

TEST_F(Startup, TestBuildRunsFiveCyclesWithTimingsAndEnds) {
    const int status = run_test_build();
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);

    EXPECT_EQ(log->count("velstrandtest started by system 0"), 1u) << log->dump();
    EXPECT_EQ(log->count("velstrandtest: lock lock:velstrand acquired"), 5u);
    EXPECT_EQ(log->count("velstrandtest: lock lock:velstrand released"), 5u);
    const std::regex timings(
        "velstrandtest: timings ms: redistransfer=\\d+, timeregister=\\d+, stats=\\d+, "
        "total=\\d+");
    size_t timing_lines = 0;
    for (const LogLine& l : log->lines()) {
        timing_lines += std::regex_match(l.message, timings);
        EXPECT_EQ(l.message.rfind("velstrand: ", 0), std::string::npos)
            << "the test build's own lines begin with velstrandtest: " << l.message;
    }
    EXPECT_EQ(timing_lines, 5u);
    // The fifth pause is slept and then the run ends without a stop message.
    const std::vector<LogLine> all = log->lines();
    ASSERT_FALSE(all.empty());
    EXPECT_EQ(all.back().message, "velstrandtest finished by system 0");
    // The lines before the first batch say "velstrand". The jobs close the log as they end, and
    // so does the loop before the end message: a line logged after a close goes out under libc's
    // default identity, the program's name.
    ASSERT_GE(all.size(), 2u);
    EXPECT_EQ(all[0].ident, "velstrand") << all[0].message;
    EXPECT_EQ(all[1].ident, "velstrand") << all[1].message;
    EXPECT_EQ(all.back().ident, "velstrandtest");
    EXPECT_EQ(log->count("stop requested"), 0u);
    EXPECT_FALSE(redis->exists("lock:velstrand"));
}

TEST_F(Startup, TestBuildCountsBusyCyclesToo) {
    const pid_t holder = spawn_named_process("holder");
    redis->set("lock:velstrand", std::to_string(holder));
    const int status = run_test_build();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(log->count("velstrandtest: lock lock:velstrand is busy, will retry after sleep"), 5u)
        << log->dump();
    EXPECT_EQ(log->count("acquired"), 0u);
    EXPECT_EQ(log->count("velstrandtest finished by system 0"), 1u);
    EXPECT_EQ(redis->get("lock:velstrand").value_or(""), std::to_string(holder));
}

}  // namespace
}  // namespace vt
