# The pause and the lock lifetime a daemon runs with, for every kind of settings file: the pause
# read back from the daemon's own sleep, the lifetime from the lock's SET in the server's slowlog.
import os
import signal
import syslog

import pytest

from harness import exit_code, settings_text, wait_exit, wait_until

# Without a readable file the two jobs log their own line and end for the cycle.
IO = [(syslog.LOG_ALERT, "velstrand: I/O error while reading /etc/quellbay/conf.cfg (uid=0)")] * 2 + [
    (syslog.LOG_ALERT, f"{job}: I/O error while reading config file. uid=0") for job in ("redistransfer", "timeregister")]
PARSE = [(syslog.LOG_ALERT, "Parse error at /etc/quellbay/conf.cfg:7 - syntax error")] * 4
FALLBACKS = [(syslog.LOG_WARNING, "velstrand: sleeping_time missing/invalid, fallback to 60"),
             (syslog.LOG_WARNING, "velstrand: lock_expiration_time missing/invalid, fallback to 100")]
BROKEN = "application:\n{\n settings:\n {\n  sleeping_time = 5;\n\n  lock_expiration_time = = 7;\n };\n};\n"


def both(value):
    return settings_text(sleeping_time=value, lock_expiration_time=value)


# The seconds of the sleep `pid` is in: the request of its clock_nanosleep (syscall 230 on x86-64),
# read from its memory.
def pause_of(pid):
    syscall = lambda: open(f"/proc/{pid}/syscall").read().split()  # noqa: E731
    assert wait_until(lambda: syscall()[0] == "230"), syscall()
    with open(f"/proc/{pid}/mem", "rb") as mem:
        mem.seek(int(syscall()[3], 16))
        return int.from_bytes(mem.read(8), "little")


@pytest.mark.server("--slowlog-log-slower-than", "0", "--slowlog-max-len", "1000")
@pytest.mark.parametrize("text,pause,lifetime,logged", [
    (None, 160, 100, IO),
    (BROKEN, 160, 100, PARSE),
    (both(0), 60, 100, FALLBACKS),
    (both(-1), 60, 100, FALLBACKS),
    (both("60"), 60, 100, FALLBACKS),
    (both(60.0), 60, 100, FALLBACKS),
    (both(1), 1, 1, []),
], ids=["missing", "parse-error", "zero", "negative", "quoted", "float", "one"])
def test_pause_and_lock_lifetime(world, text, pause, lifetime, logged):
    if text is None:
        os.remove("/etc/quellbay/conf.cfg")
    else:
        world.write_settings(text)
    daemon = world.start("velstrand")
    assert world.log.wait_for("velstrand: lock lock:velstrand released"), "the first cycle waited"
    assert pause_of(daemon) == pause
    sets = [e["command"].split() for e in world.redis.slowlog_get(1000) if e["command"].startswith(b"SET ")]
    assert sets[-1] == [b"SET", b"lock:velstrand", str(daemon).encode(), b"NX", b"EX", str(lifetime).encode()]
    assert [(l.priority, l.message) for l in world.log.lines if l.priority < syslog.LOG_INFO] == logged
    os.kill(daemon, signal.SIGTERM)
    assert exit_code(wait_exit(daemon)) == 0
