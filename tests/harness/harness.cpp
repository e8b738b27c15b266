// The integration harness: the case's syslog socket, redis-server, client, settings file and
// process handling (as the namespace's init, it reaps every orphan).
#include "harness/harness.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

namespace vt {

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kMarker = "\x01vt-syslog-marker ";

// Wait statuses of processes reaped before anyone asked for them.
std::map<pid_t, int>& reaped() {
    static std::map<pid_t, int> statuses;
    return statuses;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// The process's name, state and parent from /proc/<pid>/stat; false when it is gone.
bool proc_name_state(pid_t pid, std::string& name, char& state, pid_t* ppid = nullptr) {
    const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    const size_t open = stat.find('(');
    const size_t close = stat.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close + 2 >= stat.size()) {
        return false;
    }
    name = stat.substr(open + 1, close - open - 1);
    state = stat[close + 2];
    if (ppid != nullptr) {
        *ppid = static_cast<pid_t>(std::atol(stat.c_str() + close + 4));
    }
    return true;
}

std::vector<pid_t> all_pids() {
    std::vector<pid_t> pids;
    DIR* dir = opendir("/proc");
    if (dir == nullptr) {
        return pids;
    }
    while (const dirent* e = readdir(dir)) {
        char* end = nullptr;
        const long pid = std::strtol(e->d_name, &end, 10);
        if (end != e->d_name && *end == '\0') {
            pids.push_back(static_cast<pid_t>(pid));
        }
    }
    closedir(dir);
    return pids;
}

// ---------------------------------------------------------------- sanitizer reports

// The daemon points descriptors 0-2 at /dev/null, so a sanitized build reports into the files
// that log_path names. When VT_SANITIZER_REPORTS names a directory, each case gets a directory
// of its own below it, and the programs it starts write there: cases run side by side in
// separate pid namespaces, so the pid suffix alone would not keep their files apart.
struct SanitizerReports {
    std::string dir;  // the case's directory; empty when reports are not collected
    std::map<std::string, std::optional<std::string>> saved;  // options variables as they were
};

SanitizerReports& sanitizer_reports() {
    static SanitizerReports reports;
    return reports;
}

// `options` (a sanitizer's colon-separated settings) with log_path set to `path`.
std::string with_log_path(const std::string& options, const std::string& path) {
    std::string out;
    std::istringstream in(options);
    std::string item;
    while (std::getline(in, item, ':')) {
        if (!item.empty() && item.rfind("log_path=", 0) != 0) {
            out += item + ":";
        }
    }
    return out + "log_path=" + path;
}

void begin_sanitizer_reports() {
    SanitizerReports& r = sanitizer_reports();
    const char* root = std::getenv("VT_SANITIZER_REPORTS");
    if (root == nullptr || *root == '\0') {
        return;
    }
    std::string tmpl = std::string(root) + "/case.XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) {
        ADD_FAILURE() << "cannot make a report directory in " << root << ": "
                      << std::strerror(errno);
        return;
    }
    // Daemons started with StartOptions.uid write here too.
    chmod(tmpl.c_str(), 01777);
    r.dir = tmpl;
    for (const auto& [var, prefix] : {std::pair<const char*, const char*>{"ASAN_OPTIONS", "asan"},
                                      {"UBSAN_OPTIONS", "ubsan"}}) {
        const char* old = std::getenv(var);
        r.saved[var] = old ? std::optional<std::string>(old) : std::nullopt;
        setenv(var, with_log_path(old ? old : "", r.dir + "/" + prefix).c_str(), 1);
    }
}

// Fails the case once for every report a process of the case left, with the report's text.
void end_sanitizer_reports() {
    SanitizerReports& r = sanitizer_reports();
    for (const auto& [var, value] : r.saved) {
        if (value) {
            setenv(var.c_str(), value->c_str(), 1);
        } else {
            unsetenv(var.c_str());
        }
    }
    r.saved.clear();
    if (r.dir.empty()) {
        return;
    }
    if (DIR* dir = opendir(r.dir.c_str())) {
        while (const dirent* e = readdir(dir)) {
            const std::string name = e->d_name;
            if (name == "." || name == "..") {
                continue;
            }
            const std::string path = r.dir + "/" + name;
            ADD_FAILURE() << "sanitizer report " << name << ":\n" << read_file(path);
            unlink(path.c_str());
        }
        closedir(dir);
    }
    rmdir(r.dir.c_str());
    r.dir.clear();
}

}  // namespace

// ---------------------------------------------------------------- syslog

std::optional<LogLine> parse_syslog_datagram(const std::string& d) {
    // "<PRI>" + "Mmm dd hh:mm:ss " + IDENT + optional "[PID]" + ": " + MESSAGE
    if (d.size() < 3 || d[0] != '<') {
        return std::nullopt;
    }
    const size_t gt = d.find('>');
    if (gt == std::string::npos) {
        return std::nullopt;
    }
    LogLine line;
    line.raw = d;
    const int pri = std::atoi(d.substr(1, gt - 1).c_str());
    line.priority = pri & 7;
    line.facility = pri >> 3;
    size_t pos = gt + 1 + 16;
    if (pos > d.size()) {
        return std::nullopt;
    }
    const size_t colon = d.find(": ", pos);
    if (colon == std::string::npos) {
        return std::nullopt;
    }
    std::string tag = d.substr(pos, colon - pos);
    if (!tag.empty() && tag.back() == ']') {
        const size_t lb = tag.rfind('[');
        if (lb != std::string::npos) {
            line.pid = std::atoi(tag.substr(lb + 1).c_str());
            tag.resize(lb);
        }
    }
    line.ident = tag;
    line.message = d.substr(colon + 2);
    return line;
}

Syslog::Syslog() {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        throw std::runtime_error("syslog socket");
    }
    int size = 8 << 20;
    setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
    struct sockaddr_un addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, "/dev/log", sizeof addr.sun_path - 1);
    unlink(addr.sun_path);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        throw std::runtime_error(std::string("bind /dev/log: ") + std::strerror(errno));
    }
    chmod(addr.sun_path, 0666);
    marker_fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (marker_fd_ < 0 ||
        connect(marker_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        throw std::runtime_error("connect /dev/log");
    }
    if (pipe2(stop_pipe_, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe");
    }
    thread_ = std::thread([this] { drain(); });
}

Syslog::~Syslog() {
    (void)!write(stop_pipe_[1], "x", 1);
    thread_.join();
    close(stop_pipe_[0]);
    close(stop_pipe_[1]);
    close(marker_fd_);
    close(fd_);
    unlink("/dev/log");
}

void Syslog::drain() {
    std::vector<char> buf(1 << 20);
    for (;;) {
        struct pollfd fds[2] = {{fd_, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (fds[0].revents & POLLIN) {
            const ssize_t n = recv(fd_, buf.data(), buf.size(), MSG_DONTWAIT);
            if (n > 0) {
                std::string d(buf.data(), static_cast<size_t>(n));
                if (d.rfind(kMarker, 0) == 0) {
                    std::lock_guard<std::mutex> lock(mu_);
                    markers_seen_ = std::stoul(d.substr(std::strlen(kMarker)));
                    seen_.notify_all();
                    continue;
                }
                while (!d.empty() && (d.back() == '\n' || d.back() == '\0')) {
                    d.pop_back();
                }
                if (auto line = parse_syslog_datagram(d)) {
                    std::lock_guard<std::mutex> lock(mu_);
                    lines_.push_back(std::move(*line));
                }
            }
            continue;
        }
        if (fds[1].revents & POLLIN) {
            return;
        }
    }
}

void Syslog::settle() const {
    std::unique_lock<std::mutex> lock(mu_);
    const unsigned long n = ++markers_sent_;
    const std::string marker = kMarker + std::to_string(n);
    if (send(marker_fd_, marker.data(), marker.size(), 0) < 0) {
        return;
    }
    seen_.wait_for(lock, 5s, [&] { return markers_seen_ >= n; });
}

std::vector<LogLine> Syslog::lines() const {
    settle();
    std::lock_guard<std::mutex> lock(mu_);
    return lines_;
}

std::vector<LogLine> Syslog::matching(const std::string& needle) const {
    std::vector<LogLine> out;
    for (const LogLine& l : lines()) {
        if (l.message.find(needle) != std::string::npos) {
            out.push_back(l);
        }
    }
    return out;
}

bool Syslog::wait_for(const std::string& needle, Millis timeout, size_t n) const {
    return wait_until(
        [&](const std::vector<LogLine>& ls) {
            size_t c = 0;
            for (const LogLine& l : ls) {
                c += l.message.find(needle) != std::string::npos;
            }
            return c >= n;
        },
        timeout);
}

bool Syslog::wait_until(const std::function<bool(const std::vector<LogLine>&)>& pred,
                        Millis timeout) const {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (pred(lines())) {
            return true;
        }
        if (Clock::now() >= deadline) {
            return false;
        }
        pause_for(5ms);
    }
}

void Syslog::clear() {
    std::lock_guard<std::mutex> lock(mu_);
    lines_.clear();
}

std::string Syslog::dump() const {
    std::ostringstream out;
    for (const LogLine& l : lines()) {
        out << l.priority << " " << l.ident << "[" << l.pid << "]: " << l.message << "\n";
    }
    return out.str();
}

// ---------------------------------------------------------------- redis

RedisServer::RedisServer(std::vector<std::string> extra_args) : args_(std::move(extra_args)) {}

RedisServer::~RedisServer() {
    if (pid_ > 0) {
        kill();
    }
}

void RedisServer::start() {
    std::vector<std::string> argv = {"/usr/bin/redis-server",
                                     "--bind",
                                     "127.0.0.1",
                                     "--port",
                                     "6379",
                                     "--save",
                                     "",
                                     "--appendonly",
                                     "no",
                                     "--dir",
                                     "/mnt/redis",
                                     "--logfile",
                                     "/mnt/redis/redis.log",
                                     "--protected-mode",
                                     "no",
                                     "--daemonize",
                                     "no"};
    argv.insert(argv.end(), args_.begin(), args_.end());
    pid_ = fork();
    if (pid_ == 0) {
        std::vector<char*> a;
        for (std::string& s : argv) {
            a.push_back(s.data());
        }
        a.push_back(nullptr);
        const int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        execv(a[0], a.data());
        _exit(127);
    }
    const auto deadline = Clock::now() + 10s;
    while (Clock::now() < deadline) {
        RedisContext c(redisConnect("127.0.0.1", 6379));
        if (c && !c->err) {
            RedisReply r = redis_command(c.get(), "PING");
            if (r && r->type == REDIS_REPLY_STATUS) {
                return;
            }
        }
        pause_for(10ms);
    }
    throw std::runtime_error("redis-server did not start: " + read_file("/mnt/redis/redis.log"));
}

void RedisServer::stop() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        wait_exit(pid_, 10s);
        pid_ = -1;
    }
}

void RedisServer::kill() {
    if (pid_ > 0) {
        kill_and_reap(pid_);
        pid_ = -1;
    }
}

Redis::Redis() {
    const auto deadline = Clock::now() + 5s;
    for (;;) {
        ctx_.reset(redisConnect("127.0.0.1", 6379));
        if (ctx_ && !ctx_->err) {
            return;
        }
        if (Clock::now() >= deadline) {
            ADD_FAILURE() << "cannot connect to the case's redis-server";
            return;
        }
        pause_for(10ms);
    }
}

RedisReply Redis::cmd(const std::vector<std::string>& argv) {
    std::vector<const char*> args;
    std::vector<size_t> lens;
    for (const std::string& a : argv) {
        args.push_back(a.data());
        lens.push_back(a.size());
    }
    RedisReply r;
    if (ctx_ && !ctx_->err) {
        r.reset(static_cast<redisReply*>(
            redisCommandArgv(ctx_.get(), static_cast<int>(args.size()), args.data(), lens.data())));
    }
    if (!r) {
        ADD_FAILURE() << "redis command failed: " << (argv.empty() ? "" : argv[0]);
    }
    return r;
}

std::vector<std::string> Redis::lrange(const std::string& key) {
    std::vector<std::string> out;
    RedisReply r = cmd({"LRANGE", key, "0", "-1"});
    if (r && r->type == REDIS_REPLY_ARRAY) {
        for (size_t i = 0; i < r->elements; ++i) {
            out.emplace_back(r->element[i]->str, r->element[i]->len);
        }
    }
    return out;
}

long long Redis::llen(const std::string& key) {
    RedisReply r = cmd({"LLEN", key});
    return r && r->type == REDIS_REPLY_INTEGER ? r->integer : -1;
}

bool Redis::exists(const std::string& key) {
    RedisReply r = cmd({"EXISTS", key});
    return r && r->type == REDIS_REPLY_INTEGER && r->integer > 0;
}

std::optional<std::string> Redis::get(const std::string& key) {
    RedisReply r = cmd({"GET", key});
    if (r && r->type == REDIS_REPLY_STRING) {
        return std::string(r->str, r->len);
    }
    return std::nullopt;
}

long long Redis::ttl(const std::string& key) {
    RedisReply r = cmd({"TTL", key});
    return r && r->type == REDIS_REPLY_INTEGER ? r->integer : -3;
}

void Redis::set(const std::string& key, const std::string& value) {
    cmd({"SET", key, value});
}

void Redis::rpush(const std::string& key, const std::vector<std::string>& values) {
    // Pipelined in slices, so a long list costs few round trips and no giant command.
    const size_t slice = 1000;
    size_t sent = 0;
    while (sent < values.size()) {
        const size_t end = std::min(values.size(), sent + slice);
        std::vector<const char*> args = {"RPUSH", key.c_str()};
        std::vector<size_t> lens = {5, key.size()};
        for (size_t i = sent; i < end; ++i) {
            args.push_back(values[i].data());
            lens.push_back(values[i].size());
        }
        RedisReply r(static_cast<redisReply*>(
            redisCommandArgv(ctx_.get(), static_cast<int>(args.size()), args.data(), lens.data())));
        if (!r || r->type != REDIS_REPLY_INTEGER) {
            ADD_FAILURE() << "RPUSH " << key << " failed";
            return;
        }
        sent = end;
    }
}

void Redis::del(const std::string& key) {
    cmd({"DEL", key});
}

std::vector<std::string> Redis::keys() {
    std::vector<std::string> out;
    RedisReply r = cmd({"KEYS", "*"});
    if (r && r->type == REDIS_REPLY_ARRAY) {
        for (size_t i = 0; i < r->elements; ++i) {
            out.emplace_back(r->element[i]->str, r->element[i]->len);
        }
    }
    return out;
}

void Redis::flushall() {
    cmd({"FLUSHALL"});
}

// ---------------------------------------------------------------- settings

void write_settings(const std::string& text) {
    std::ofstream out(kConfPath, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) {
        ADD_FAILURE() << "cannot write " << kConfPath;
    }
    chmod(kConfPath, 0644);
}

void remove_settings() {
    unlink(kConfPath);
}

namespace {
std::string quoted(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
        }
        out += c;
    }
    return out + "\"";
}
}  // namespace

std::string Settings::text() const {
    std::ostringstream out;
    out << "application = {\n  settings = {\n";
    if (sleeping_time) {
        out << "    sleeping_time = " << *sleeping_time << ";\n";
    }
    if (lock_expiration_time) {
        out << "    lock_expiration_time = " << *lock_expiration_time << ";\n";
    }
    if (main_key) {
        out << "    main_key = " << quoted(*main_key) << ";\n";
    }
    if (keys) {
        out << "    keys = [";
        for (size_t i = 0; i < keys->size(); ++i) {
            out << (i ? ", " : " ") << quoted((*keys)[i]);
        }
        out << " ];\n";
    }
    if (valid_duration) {
        out << "    valid_duration = " << *valid_duration << ";\n";
    }
    out << "  };\n};\n";
    return out.str();
}

// ---------------------------------------------------------------- processes

std::string build_path(const std::string& name) {
    return std::string(VT_BUILD_DIR) + "/" + name;
}

std::vector<pid_t> daemon_pids() {
    std::vector<pid_t> out;
    for (pid_t pid : all_pids()) {
        std::string name;
        char state = 0;
        pid_t ppid = 0;
        // Detached daemons are reparented to us; this also passes over helper tasks that a
        // sanitizer runtime clones under the same name.
        if (pid != getpid() && proc_name_state(pid, name, state, &ppid) && ppid == getpid() &&
            (name == "velstrand" || name == "velstrandtest" || name.rfind("memcheck-", 0) == 0)) {
            out.push_back(pid);
        }
    }
    return out;
}

int start_program(const std::string& program, const StartOptions& opts, pid_t* daemon) {
    const std::vector<pid_t> before = daemon_pids();
    const std::string path = build_path(program);
    // Built before the fork: the parent has threads, so the child only execs.
    std::vector<const char*> argv;
    for (const std::string& w : opts.wrapper) {
        argv.push_back(w.c_str());
    }
    argv.push_back(path.c_str());
    argv.push_back(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        if (opts.uid) {
            const gid_t gid = static_cast<gid_t>(*opts.uid);
            if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(*opts.uid) != 0) {
                _exit(126);
            }
        }
        execvp(argv[0], const_cast<char* const*>(argv.data()));
        _exit(127);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    // The started process exits right after its fork, so its child is ours by now.
    if (daemon != nullptr) {
        *daemon = -1;
        for (pid_t pid : daemon_pids()) {
            if (std::find(before.begin(), before.end(), pid) == before.end()) {
                *daemon = pid;
            }
        }
    }
    return status;
}

void reap_zombies() {
    int status = 0;
    pid_t pid;
    while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
        reaped()[pid] = status;
    }
}

std::optional<int> wait_exit(pid_t pid, Millis timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        int status = 0;
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) {
            return status;
        }
        auto it = reaped().find(pid);
        if (it != reaped().end()) {
            status = it->second;
            reaped().erase(it);
            return status;
        }
        if (Clock::now() >= deadline) {
            return std::nullopt;
        }
        pause_for(5ms);
    }
}

void kill_and_reap(pid_t pid) {
    ::kill(pid, SIGKILL);
    wait_exit(pid, 10s);
}

pid_t spawn_named_process(const std::string& name, int megabytes) {
    const pid_t pid = fork();
    if (pid == 0) {
        // Only async-signal-safe calls here: the parent has threads.
        prctl(PR_SET_NAME, name.c_str(), 0, 0, 0);
        if (megabytes > 0) {
            const size_t size = static_cast<size_t>(megabytes) << 20;
            void* mem =
                mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (mem != MAP_FAILED) {
                std::memset(mem, 1, size);
            }
        }
        for (;;) {
            pause();
        }
    }
    // Return once the name is visible, so a pgrep that follows finds it.
    const auto deadline = Clock::now() + 5s;
    while (Clock::now() < deadline) {
        std::string n;
        char state = 0;
        if (proc_name_state(pid, n, state) && n == name.substr(0, 15)) {
            break;
        }
        pause_for(1ms);
    }
    return pid;
}

int run_command(const std::vector<std::string>& argv, std::string* output) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        return -1;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], 1);
        std::vector<char*> a;
        for (const std::string& s : argv) {
            a.push_back(const_cast<char*>(s.c_str()));
        }
        a.push_back(nullptr);
        execvp(a[0], a.data());
        _exit(127);
    }
    close(fds[1]);
    std::string out;
    char buf[65536];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR)) {
        if (n > 0) {
            out.append(buf, static_cast<size_t>(n));
        }
    }
    close(fds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (output != nullptr) {
        *output = std::move(out);
    }
    return status;
}

void pause_for(Millis d) {
    const auto deadline = Clock::now() + d;
    for (;;) {
        reap_zombies();
        const auto now = Clock::now();
        if (now >= deadline) {
            return;
        }
        std::this_thread::sleep_for(std::min<Clock::duration>(deadline - now, 2ms));
    }
}

void kill_all_other_processes() {
    for (pid_t pid : all_pids()) {
        if (pid != getpid()) {
            ::kill(pid, SIGKILL);
        }
    }
    const auto deadline = Clock::now() + 10s;
    while (Clock::now() < deadline) {
        reap_zombies();
        bool others = false;
        for (pid_t pid : all_pids()) {
            others |= pid != getpid();
        }
        if (!others) {
            break;
        }
        std::this_thread::sleep_for(2ms);
    }
    reaped().clear();
}

// ---------------------------------------------------------------- fixture

void IntegrationTest::SetUp() {
    begin_sanitizer_reports();
    log = std::make_unique<Syslog>();
    server = std::make_unique<RedisServer>();
    server->start();
    redis = std::make_unique<Redis>();
    write_settings(Settings{});
}

void IntegrationTest::TearDown() {
    redis.reset();
    server.reset();
    kill_all_other_processes();
    remove_settings();
    end_sanitizer_reports();
    if (HasFailure()) {
        std::fprintf(stderr, "--- syslog of the case ---\n%s", log->dump().c_str());
    }
    log.reset();
}

pid_t IntegrationTest::start_daemon(const std::string& program, const StartOptions& o) {
    pid_t pid = -1;
    const int status = start_program(program, o, &pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "started process: " << status;
    EXPECT_GT(pid, 0) << "no daemon was left behind";
    return pid;
}

int IntegrationTest::run_test_build(Millis timeout) {
    const pid_t pid = start_daemon("velstrandtest");
    if (pid <= 0) {
        return -1;
    }
    const std::optional<int> status = wait_exit(pid, timeout);
    EXPECT_TRUE(status.has_value()) << "velstrandtest did not end in time";
    return status.value_or(-1);
}

}  // namespace vt
