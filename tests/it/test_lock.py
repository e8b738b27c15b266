# The cycle lock through the real daemons: whom it counts as alive, and batches never overlapping.
import os
import signal
import subprocess
import syslog

import pytest
import redis

from harness import NOBODY, exit_code, wait_exit

KEY = "lock:velstrand"
BUSY = "velstrand: lock lock:velstrand is busy, will retry after sleep"


def dead_pid():
    p = subprocess.Popen(["true"])
    p.wait()
    return str(p.pid)


# Pid 1 is this namespace's init, alive and root's: to a daemon run as nobody kill() answers
# EPERM, which still means alive. A holder id reads as strtol reads it, narrowed to 32 bits.
@pytest.mark.parametrize("value,uid,taken", [
    (dead_pid, None, True), ("0", None, True), ("-5", None, True), ("abc", None, True),
    ("1abc", None, False), ("4294967297", None, False), ("1", NOBODY, False),
], ids=["dead", "zero", "negative", "letters", "1abc", "wraps-to-1", "root-holder-for-nobody"])
def test_holder_is_taken_over_only_when_gone(world, value, uid, taken):
    world.settings(sleeping_time=100)
    value = value() if callable(value) else value
    world.redis.set(KEY, value)
    daemon = world.start("velstrand", uid=uid)
    assert world.log.wait_for("velstrand: lock lock:velstrand ")
    assert (world.log.count("acquired"), world.log.count(BUSY)) == (taken, not taken), world.log.dump()
    assert not taken or world.log.wait_for("released")
    assert world.redis.get(KEY) == (None if taken else value.encode())
    assert world.log.count(f"velstrand started by system {uid or 0}") == 1
    os.kill(daemon, signal.SIGTERM)
    assert exit_code(wait_exit(daemon)) == 0


@pytest.mark.server("--maxmemory", "1")
def test_lock_refused_at_maxmemory_is_logged_and_busy(world):
    world.settings(sleeping_time=100)
    with pytest.raises(redis.ResponseError, match="^OOM ") as refused:
        world.redis.set(KEY, "1")
    world.start("velstrand")
    assert world.log.wait_for(BUSY)
    [alert] = world.log.matching("couldn't set lock")
    assert alert.message == f"velstrand: couldn't set lock lock:velstrand: {refused.value}"
    assert alert.priority == syslog.LOG_ALERT
    assert world.log.messages()[-2:] == [alert.message, BUSY]


# A million events make a batch of seconds, far beyond the lock's one-second lifetime: the lock
# must outlive the batch, and two more daemons cycling meanwhile must never run one beside it.
# A key that another process wrote during the batch is left to it at the release.
FILL = """local e = {} for i = 1, 1000 do e[i] = ARGV[1] end
for i = 1, ARGV[2] do redis.call('RPUSH', KEYS[1], unpack(e)) end"""


@pytest.mark.parametrize("foreign", [False, True], ids=["own", "foreign"])
def test_long_batch_keeps_the_lock_and_batches_never_overlap(world, foreign):
    world.settings(lock_expiration_time=1)
    event = '{"timestamp":"2024-01-01T12:00:00+0000","event_type":"dns","n":1}'
    world.redis.eval(FILL, 1, "suricata", event, 1000)
    first = world.start("velstrand")
    assert world.log.wait_for("velstrand: lock lock:velstrand acquired")
    daemons = [first, world.start("velstrand"), world.start("velstrand")]
    assert world.log.wait_for(BUSY, 2) and not world.log.count("released"), "the batch was short"
    if foreign:
        world.redis.set(KEY, "1")
        assert world.log.wait_for("released")
        assert world.log.count(f"Info: lock lock:velstrand is owned by another pid (1), current pid={first}") == 1
        assert world.redis.get(KEY) == b"1"
    else:
        assert world.log.wait_for("released", 4)
    for d in daemons:
        os.kill(d, signal.SIGTERM)
        assert exit_code(wait_exit(d)) == 0
    holder, batches = None, 0
    for line in world.log.lines:
        if line.message.endswith("acquired"):
            assert holder is None, f"{line.pid} took the lock from {holder}\n{world.log.dump()}"
            holder, batches = line.pid, batches + 1
        elif line.message.endswith("released"):
            assert holder == line.pid
            holder = None
    assert (batches == 1 if foreign else batches >= 4) and world.redis.llen("dns") == 1000000
