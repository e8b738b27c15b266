# Start-up of both programs, the test build's five cycles, and the ways the loop stops.
import os
import re
import resource
import signal
import syslog
import time

import pytest

from harness import exit_code, wait_exit

KEY = "lock:velstrand"
RELEASED = "velstrand: lock lock:velstrand released"


@pytest.mark.parametrize("sig", [signal.SIGTERM, signal.SIGINT], ids=["TERM", "INT"])
def test_daemon_detaches_with_clean_descriptors_and_a_stop_cuts_the_pause_short(world, sig):
    world.settings(sleeping_time=100)
    # Inherited descriptors must be closed up to the hard limit, not only below the soft one
    # that the daemon starts with.
    low = os.open("/dev/zero", os.O_RDONLY)
    high = os.dup2(low, 900)

    hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
    daemon = world.start("velstrand", pass_fds=(low, high),
                         preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (64, hard)))
    os.close(low)
    os.close(high)
    assert world.log.wait_for(RELEASED)

    with open(f"/proc/{daemon}/stat") as f:
        assert int(f.read().rsplit(")", 1)[1].split()[3]) == daemon, "not a session leader"
    assert os.readlink(f"/proc/{daemon}/cwd") == "/"
    fds = {int(fd): os.readlink(f"/proc/{daemon}/fd/{fd}") for fd in os.listdir(f"/proc/{daemon}/fd")}
    assert [fds.get(i) for i in range(3)] == ["/dev/null"] * 3
    # Besides 0-2 only the syslog socket: the loop's connection is freed before the pause.
    assert len(fds) == 4 and fds[max(fds)].startswith("socket:"), fds

    [started] = world.log.matching("velstrand started by system 0")
    assert (started.message, started.ident, started.pid) == ("velstrand started by system 0", "velstrand", daemon)
    assert (started.facility, started.priority) == (syslog.LOG_USER >> 3, syslog.LOG_INFO)
    assert all(l.priority != syslog.LOG_DEBUG and l.ident == "velstrand" for l in world.log.lines)

    os.kill(daemon, sig)
    assert exit_code(wait_exit(daemon, 20)) == 0, "the stop did not end the pause"
    assert world.log.messages()[-2:] == [f"velstrand: got signal {sig}, stopping...",
                                         "velstrand: stop requested, exiting loop"]
    assert world.log.count("acquired") == 1


@pytest.mark.parametrize("busy", [False, True], ids=["free", "busy"])
def test_test_build_runs_five_cycles_and_ends(world, busy):
    if busy:
        world.redis.set(KEY, "1")  # this namespace's init, alive
    assert world.run_test_build() == 0
    assert world.log.count("velstrandtest: lock lock:velstrand acquired") == 5 * (not busy)
    assert world.log.count("velstrandtest: lock lock:velstrand released") == 5 * (not busy)
    assert world.log.count("velstrandtest: lock lock:velstrand is busy, will retry after sleep") == 5 * busy
    timings = r"velstrandtest: timings ms: redistransfer=\d+, timeregister=\d+, stats=\d+, total=\d+"
    assert sum(bool(re.fullmatch(timings, m)) for m in world.log.messages()) == 5 * (not busy)
    assert not [m for m in world.log.messages() if m.startswith("velstrand:")]
    last = world.log.lines[-1]
    assert (last.message, last.ident) == ("velstrandtest finished by system 0", "velstrandtest")
    assert world.redis.get(KEY) == (b"1" if busy else None)


# The server paused for writes holds the daemon inside its lock's SET, so the stop lands there: a
# busy lock ends the loop at once, without a pause. (A stop during a batch: the fan-out's cases.)
def test_stop_while_the_lock_is_busy_ends_the_loop_at_once(world):
    world.settings(sleeping_time=100)
    world.redis.set(KEY, "1")
    world.redis.client_pause(2500, all=False)
    daemon = world.start("velstrand")
    assert world.log.wait_for("velstrand started by system 0")
    time.sleep(0.3)
    os.kill(daemon, signal.SIGTERM)
    assert exit_code(wait_exit(daemon, 20)) == 0, "it paused"
    assert [m for m in world.log.messages() if m.startswith("velstrand:")][-2:] == [
        "velstrand: lock lock:velstrand is busy, will retry after sleep", "velstrand: got signal 15, stopping..."]
    assert world.redis.get(KEY) == b"1"


@pytest.mark.parametrize("later", [False, True], ids=["first", "later"])
def test_redis_down_ends_the_daemon_with_status_one(world, later):
    if later:
        daemon = world.start("velstrand")
        assert world.log.wait_for(RELEASED)
        world.server.kill()
    else:
        world.server.kill()
        daemon = world.start("velstrand")
    assert exit_code(wait_exit(daemon, 20)) == 1
    assert world.log.wait_for("Redis connection error")  # the datagram may trail the exit
    [down] = world.log.matching("Redis connection error")
    assert (down.message, down.priority) == ("velstrand: Redis connection error: Connection refused",
                                             syslog.LOG_ALERT)
    assert world.log.lines[-1] is down
