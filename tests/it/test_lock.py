# The cycle lock through the real daemons: whom it counts as alive, and batches never overlapping.
import contextlib
import os
import signal
import socket
import subprocess
import syslog
import threading
import time

import pytest
import redis

from harness import NOBODY, RedisServer, events, exit_code, wait_exit, wait_until

KEY = "lock:velstrand"
BUSY = "velstrand: lock lock:velstrand is busy, will retry after sleep"


def dead_pid():
    p = subprocess.Popen(["true"])
    p.wait()
    return str(p.pid)


# The daemon started next: the started process takes the namespace's next pid, the daemon it
# forks the one after.
def own_pid():
    with open("/proc/sys/kernel/ns_last_pid", "w") as f:
        f.write("4999")
    return "5001"


# Pid 1 is this namespace's init, alive and root's: to a daemon run as nobody kill() answers
# EPERM, which still means alive. A holder id reads as strtol reads it, narrowed to 32 bits. The
# daemon's own pid is a leftover of its own. Each lock is set without a lifetime, as a refused
# refresh can leave one: a lock that stays gets one.
@pytest.mark.parametrize("value,uid,taken", [
    (dead_pid, None, True), (own_pid, None, True), ("0", None, True), ("-5", None, True),
    ("abc", None, True), ("1abc", None, False), ("4294967297", None, False), ("1", NOBODY, False),
], ids=["dead", "own", "zero", "negative", "letters", "1abc", "wraps-to-1", "root-holder-for-nobody"])
def test_holder_is_taken_over_only_when_gone(world, value, uid, taken):
    world.settings(sleeping_time=100)
    value = value() if callable(value) else value
    world.redis.set(KEY, value)
    daemon = world.start("velstrand", uid=uid)
    assert value != "5001" or daemon == 5001
    assert world.log.wait_for("velstrand: lock lock:velstrand ")
    assert (world.log.count("acquired"), world.log.count(BUSY)) == (taken, not taken), world.log.dump()
    assert not taken or world.log.wait_for("released")
    assert world.redis.get(KEY) == (None if taken else value.encode())
    assert taken or 0 < world.redis.ttl(KEY) <= 100
    assert world.log.count(f"velstrand started by system {uid or 0}") == 1
    os.kill(daemon, signal.SIGTERM)
    assert exit_code(wait_exit(daemon)) == 0


# At maxmemory the server refuses a plain SET, but the lock is taken, kept between the jobs and
# released all the same.
@pytest.mark.server("--maxmemory", "1")
def test_lock_works_at_maxmemory(world):
    world.settings(sleeping_time=100)
    with pytest.raises(redis.ResponseError, match="^OOM "):
        world.redis.set("probe", "1")
    world.start("velstrand")
    assert world.log.wait_for("velstrand: lock lock:velstrand released")
    assert [l.message for l in world.log.matching("lock:velstrand")] == [
        "velstrand: lock lock:velstrand acquired", "velstrand: lock lock:velstrand released"], world.log.dump()
    assert not world.redis.exists(KEY)


# A link to the server on `port` that holds every read `delay` seconds before passing it on: each
# round trip takes at least twice that, however fast the machine.
def slow_link(port, delay):
    def pump(src, dst):
        with contextlib.suppress(OSError):
            while data := src.recv(1 << 20):
                time.sleep(delay)
                dst.sendall(data)
            dst.shutdown(socket.SHUT_WR)

    def serve(listener):
        while True:
            near = listener.accept()[0]
            try:
                far = socket.create_connection(("127.0.0.1", port))
            except OSError:  # refused while the server starts
                near.close()
                continue
            for ends in ((near, far), (far, near)):
                threading.Thread(target=pump, args=ends, daemon=True).start()
    threading.Thread(target=serve, args=(socket.create_server(("127.0.0.1", 6379)),), daemon=True).start()


# Retention reading 40 lists over a slow link makes a batch of several of the lock's one-second
# lifetimes: the lock must outlive it, and two more daemons cycling meanwhile must never run one
# beside it, as the server saw the lock's key. A key that another process wrote during the batch
# is left to it at the release, which says why.
FOREIGN = {
    "string": (lambda p: p.set(KEY, "1", ex=100), syslog.LOG_INFO,
               "Info: lock lock:velstrand is owned by another pid (1), current pid={}"),
    "list": (lambda p: p.rpush(KEY, "1"), syslog.LOG_ALERT, "Error: Couldn't read lock lock:velstrand: "
             "WRONGTYPE Operation against a key holding the wrong kind of value"),
}


@pytest.mark.parametrize("foreign", [None, "string", "list"], ids=["own", "foreign", "foreign-list"])
def test_long_batch_keeps_the_lock_and_batches_never_overlap(world, foreign):
    world.server.kill()
    slow_link(6380, 0.02)
    world.server = RedisServer("--port", "6380", "--notify-keyspace-events", "Kg$x")
    server, seen = redis.Redis(port=6380), []
    lists = [f"old{i}" for i in range(40)]
    world.settings(lock_expiration_time=1, keys=lists)
    for key in lists:
        server.rpush(key, *events(1))  # kept: only the keep-alive refreshes the lock
    notices = server.pubsub()
    notices.subscribe(**{f"__keyspace@0__:{KEY}": lambda m: seen.append((time.monotonic(), m["data"]))})
    listener = notices.run_in_thread(0.01, daemon=True)
    daemons = [world.start("velstrand")]
    assert world.log.wait_for("velstrand: lock lock:velstrand acquired")
    daemons += [world.start("velstrand"), world.start("velstrand")]
    assert world.log.wait_for(BUSY, 2)
    if foreign:
        write, priority, why = FOREIGN[foreign]
        assert wait_until(lambda: time.monotonic() - seen[0][0] > 3 or world.log.count("released"))
        write(server.pipeline().delete(KEY)).execute()
        assert world.log.wait_for("released")
        first = [(l.priority, l.message) for l in world.log.lines if l.pid == daemons[0]]
        released = first.index((syslog.LOG_INFO, "velstrand: lock lock:velstrand released"))
        assert first[released - 1] == (priority, why.format(daemons[0]))
    else:
        assert world.log.wait_for("released")
        server.delete(*lists)  # the next batches are short
        assert world.log.wait_for("released", 2)
    for d in daemons:
        os.kill(d, signal.SIGTERM)
        assert exit_code(wait_exit(d)) == 0
    listener.stop()
    listener.join()
    holder, batches = None, []
    for at, event in seen:
        assert event != b"expired" and (event != b"set" or holder is None), f"{seen}\n{world.log.dump()}"
        batches += [at - holder] if event == b"del" else []
        holder = at if event == b"set" else None if event == b"del" else holder
    assert batches[0] > 3, f"the batch took {batches[0]:.1f} s, not several lifetimes"
    assert len(batches) == 1 if foreign else len(batches) >= 2
