# The one harness for the integration cases, the demo, the soak run and the benchmarks: a private
# world inside a mount, net and pid namespace of one's own, with its own redis-server on the
# namespace's loopback, /etc/quellbay and /dev/log, and the real programs copied in. Nothing of
# the host's /etc or /dev is written, and every process dies with the namespace's init.
#
# `in_namespace(argv)` re-executes a program as that init; `World()` then builds the world.
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time
import types

import redis

TYPES = ("alert", "dns", "http", "tls", "flow", "fileinfo", "anomaly")

BUILD = os.environ.get("VT_BUILD", os.path.join(os.path.dirname(__file__), "..", "build"))
BIN = "/mnt/bin"
PROGRAMS = ("velstrand", "velstrandtest", "velstrandshort")
CONF = "/etc/quellbay/conf.cfg"
SANITIZER_DIR = "/mnt/sanitizer"
NOBODY = 65534


# Runs argv as the init of a fresh mount, net and pid namespace; returns its exit status.
def in_namespace(argv):
    cmd = ["unshare", "--mount", "--net", "--pid", "--fork", "--mount-proc", "--kill-child"]
    return subprocess.call(cmd + argv, env=dict(os.environ, VT_BUILD=os.path.abspath(BUILD)))


# The entry of a tool on this harness: re-executes `script` as the init of a namespace of its own,
# where it exits with what main(args) returns. VT_BUILD names the programs' folder.
def main_in_namespace(script, main):
    if os.getpid() == 1:
        sys.exit(main(sys.argv[1:]))
    sys.exit(in_namespace([sys.executable, os.path.abspath(script), *sys.argv[1:]]))


def sh(*cmd):
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL)


# Everything written lives on a tmpfs at /mnt: /etc's overlay, /etc/quellbay, a small /dev and
# the programs, copied there so an unprivileged daemon can run them wherever the clone is.
def build_private_world():
    assert os.getpid() == 1, "each case needs a namespace of its own: run it through ctest or harness.py"
    sh("mount", "--make-rprivate", "/")
    sh("mount", "-t", "tmpfs", "-o", "mode=0755,size=8g", "tmpfs", "/mnt")
    for d in ("ovl/upper", "ovl/work", "quellbay", "dev", "redis", "scratch", "bin", "sanitizer"):
        os.makedirs("/mnt/" + d)
    for d in ("scratch", "sanitizer"):
        os.chmod("/mnt/" + d, 0o1777)
    sh("mount", "-t", "overlay", "overlay", "-o",
       "lowerdir=/etc,upperdir=/mnt/ovl/upper,workdir=/mnt/ovl/work", "/etc")
    os.makedirs("/etc/quellbay", exist_ok=True)
    sh("mount", "--bind", "/mnt/quellbay", "/etc/quellbay")
    for dev in ("null", "zero", "random", "urandom"):
        open("/mnt/dev/" + dev, "w").close()
        sh("mount", "--bind", "/dev/" + dev, "/mnt/dev/" + dev)
    sh("mount", "--rbind", "/mnt/dev", "/dev")
    sh("ip", "link", "set", "lo", "up")
    with open("/proc/sys/net/unix/max_dgram_qlen", "w") as f:
        f.write("65536")  # a daemon must never wait on our syslog socket
    for prog in PROGRAMS:
        if os.path.exists(os.path.join(BUILD, prog)):  # an older build, measured beside this one, has none
            shutil.copy(os.path.join(BUILD, prog), BIN)


# One datagram as glibc's syslog(3) sends it: "<PRI>Mmm dd hh:mm:ss IDENT[PID]: MESSAGE".
DATAGRAM = re.compile(rb"<(\d+)>\w{3} [ \d]\d \d\d:\d\d:\d\d ([^\[:]*)(?:\[(\d+)\])?: (.*)", re.S)


class LogLine(types.SimpleNamespace):
    def __repr__(self):
        return f"{self.priority} {self.ident}[{self.pid}]: {self.message}"


# The namespace's /dev/log; a thread drains it so no daemon ever blocks on it.
class Syslog:
    def __init__(self):
        self.lines = []
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind("/dev/log")
        os.chmod("/dev/log", 0o666)
        threading.Thread(target=self._drain, daemon=True).start()

    def _drain(self):
        while True:
            pri, ident, pid, text = DATAGRAM.fullmatch(self.sock.recv(1 << 20)).groups()
            self.lines.append(LogLine(priority=int(pri) & 7, facility=int(pri) >> 3, ident=ident.decode(),
                                      pid=pid and int(pid), message=text.decode(errors="replace")))

    def matching(self, needle):
        return [l for l in list(self.lines) if needle in l.message]

    def count(self, needle):
        return len(self.matching(needle))

    def messages(self):
        return [l.message for l in list(self.lines)]

    def wait_for(self, needle, n=1, timeout=30):
        return wait_until(lambda: self.count(needle) >= n, timeout)

    def dump(self):
        return "\n".join(map(repr, list(self.lines)))


def wait_until(pred, timeout=30, step=0.01):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if pred():
            return True
        reap()
        time.sleep(step)
    return pred()


# Wait statuses of children reaped before anyone asked: as init, we adopt every orphan.
_exited = {}


def reap():
    try:
        while (child := os.waitpid(-1, os.WNOHANG))[0]:
            _exited[child[0]] = child[1]
    except ChildProcessError:  # no children left
        pass


# The wait status of `pid` once it ended, or None on time-out.
def wait_exit(pid, timeout=30):
    wait_until(lambda: pid in _exited, timeout)
    return _exited.pop(pid, None)


def exit_code(status):
    return os.waitstatus_to_exitcode(status) if status is not None else None


# The live daemons: the programs' processes that this init adopted.
def daemon_pids():
    out = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            name, rest = open(f"/proc/{pid}/stat").read().rsplit(")", 1)
        except OSError:
            continue
        state, parent = rest.split()[:2]
        if name.split("(", 1)[1] in PROGRAMS and parent == "1" and state != "Z":
            out.append(int(pid))
    return out


class RedisServer:
    def __init__(self, *extra):
        self.args = ["redis-server", "--port", "6379", "--bind", "127.0.0.1", "--save", "",
                     "--dir", "/mnt/redis", "--logfile", "/mnt/redis/log", *extra]
        self.start()

    def start(self):
        self.proc = subprocess.Popen(self.args, stdout=subprocess.DEVNULL)
        assert wait_until(lambda: os.system("redis-cli ping >/dev/null 2>&1") == 0, 10)

    def kill(self):
        self.proc.kill()
        self.proc.wait()


# n distinct events in the engine's form of about `size` bytes, stamped `hours` from now,
# numbered from `first` in flow_id, types in turn.
def events(n, size=300, tag="e", hours=0, types=TYPES, first=0):
    stamp = time.strftime("%Y-%m-%dT%H:%M:%S.000000+0000", time.gmtime(time.time() + hours * 3600))
    out = []
    for i in range(first, first + n):
        head = (f'{{"timestamp":"{stamp}","flow_id":{i},"event_type":"{types[i % len(types)]}",'
                f'"src_ip":"10.0.{i % 250}.7","tag":"{tag}","payload":"')
        out.append((head + "p" * max(0, size - len(head) - 2) + '"}').encode())
    return out


def rpush(client, key, values, batch=10000):
    for i in range(0, len(values), batch):
        client.rpush(key, *values[i:i + batch])


# application.settings with the given members, None leaving one out; texts are written as JSON
# writes them, which libconfig reads alike for the plain texts used here.
def settings_text(sleeping_time=1, lock_expiration_time=100, main_key="suricata", keys=(),
                  valid_duration=24):
    def value(v):
        return "[" + ", ".join(map(value, v)) + "]" if isinstance(v, (list, tuple)) else json.dumps(v)
    members = dict(sleeping_time=sleeping_time, lock_expiration_time=lock_expiration_time,
                   main_key=main_key, keys=keys, valid_duration=valid_duration)
    body = "".join(f"  {k} = {value(v)};\n" for k, v in members.items() if v is not None)
    return "application:\n{\n settings:\n {\n" + body + " };\n};\n"


# One case's world: syslog socket, redis-server and client, and a settings file.
class World:
    def __init__(self, *server_args):
        build_private_world()
        self.log = Syslog()
        self.server = RedisServer(*server_args)
        self.redis = redis.Redis()
        self.settings()

    def settings(self, **kw):
        self.write_settings(settings_text(**kw))

    def write_settings(self, text):
        with open(CONF, "w") as f:  # closed before any daemon reads it
            f.write(text)

    # Starts a program, checks that the started process exits 0 at once, and returns the pid of
    # the daemon it left behind (which may have ended already: wait_exit has it).
    def start(self, program="velstrandtest", uid=None, **popen):
        before, gone = set(daemon_pids()), set(_exited)
        env = {k: re.sub(r"log_path=[^:]*", f"log_path={SANITIZER_DIR}/{k[:5].lower()}", v)
               for k, v in os.environ.items()}  # sanitizer reports go to this case
        user = dict(user=uid, group=uid, extra_groups=[]) if uid is not None else {}
        started = subprocess.run([os.path.join(BIN, program)], env=env, cwd="/",
                                 timeout=60, **user, **popen)
        assert started.returncode == 0, started.returncode
        pids = []
        new = lambda: (set(daemon_pids()) - before) | (set(_exited) - gone)  # noqa: E731
        wait_until(lambda: pids.extend(new()) or pids, 10)
        assert len(pids) == 1, pids
        return pids[0]

    # Runs velstrandtest to its end; returns its exit code.
    def run_test_build(self, timeout=120, **kw):
        return exit_code(wait_exit(self.start("velstrandtest", **kw), timeout))

    def close(self):
        for pid in daemon_pids():
            os.kill(pid, signal.SIGKILL)
        self.server.kill()


if __name__ == "__main__":
    # harness.py PYTEST-ARGS: one pytest run as the init of a namespace of its own.
    sys.exit(in_namespace([sys.executable, "-m", "pytest", "-q", *sys.argv[1:]]))
