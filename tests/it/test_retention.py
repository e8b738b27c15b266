# The retention job through the real programs: the window, the order, what cannot be aged, the
# three ways a list is rewritten, another client changing the list, refused writes and a server
# that dies mid-run. Every list must end as the job always left it: the kept entries, in order.
import os
import signal
import threading
import time

import pytest
import redis

from harness import exit_code, wait_exit, wait_until

H = 3600
NOW = time.time()  # one present for all texts of a case, so equal tags give equal texts
SCALE = 3 if "ASAN_OPTIONS" in os.environ else 1  # the sanitizer build runs several times slower
AOF = ("--appendonly", "yes", "--appendfsync", "always", "--auto-aof-rewrite-percentage", "0")


# An event stamped `seconds` from now, written in local time at `offset` hours from UTC.
def event(seconds, tag, offset=0):
    t = time.strftime("%Y-%m-%dT%H:%M:%S.654321", time.gmtime(NOW + seconds + offset * H))
    return b'{"timestamp":"%s%+03d:00","tag":"%s","pad":"%s"}' % (t.encode(), offset, tag.encode(), b"p" * 200)


# n entries head first, 30 hours old where stale(i), tagged tags[i] or i; returns (all, kept).
def fill(world, stale, n, tags=None, key="alert"):
    entries = [event(-30 * H if stale(i) else -60, (tags or {}).get(i, str(i))) for i in range(n)]
    for i in range(0, n, 10000):
        world.redis.rpush(key, *entries[i:i + 10000])
    return entries, [e for i, e in enumerate(entries) if not stale(i)]


def one_cycle(world):
    released = "velstrand: lock lock:velstrand released"
    n, pid = world.log.count(released) + 1, world.start("velstrand")
    assert world.log.wait_for(released, n, timeout=120), world.log.dump()
    os.kill(pid, signal.SIGKILL)
    wait_exit(pid, 10)


# Follows the server from another client and calls action() right after each of the first `times`
# reads of the second of the six pieces of the 60,000 entries of alert: the job has four more to
# read before its EXEC. Gives up after a minute without a command.
def after_reads(action, times):
    def follow():
        with redis.Redis(socket_timeout=60).monitor() as m:
            ready.set()
            for _ in range(times):
                while m.next_command()["command"] != "LRANGE alert 10000 19999":
                    pass
                action()
    ready = threading.Event()
    threading.Thread(target=follow, daemon=True).start()
    assert ready.wait(10)


def test_window_order_and_entries_that_cannot_be_aged(world):
    kept = [event(-24 * H - 55 * 60, "old edge"), event(24 * H + 55 * 60, "new edge"), event(0, "+01", 1),
            event(-24 * H - 30 * 60, "-01", -1), event(0, "zero") + b"\x00 and bytes after"]
    dropped = [event(-25 * H - 5 * 60, "old"), event(25 * H + 5 * 60, "new"), event(-25 * H - 30 * 60, "+01", 1),
               b"{not json", b'{"x":%s}' % (b"[" * 1000 + b"]" * 1000), b'{"tag":1}',
               b'{"timestamp":"2024-01-01T12:00:00Z"}', b'{"timestamp":1704110400}']
    world.redis.rpush("alert", *[e for pair in zip(kept, dropped) for e in pair], *dropped[5:])
    _, dns = fill(world, lambda i: i == 1, 3, key="dns")
    world.settings(keys=["alert", "missing", "alert", "dns"])
    assert world.run_test_build() == 0
    assert world.redis.lrange("alert", 0, -1) == kept and world.redis.lrange("dns", 0, -1) == dns
    assert world.log.count("timeregister: JSON parse error for key alert") == 2
    assert world.log.count("timeregister: invalid timestamp for key alert: Invalid date format") == 3
    assert all(l.priority == 1 and l.ident == "velstrand" for l in world.log.matching("timeregister:"))
    assert world.log.count("velstrandtest: timings ms:") == 5 and not world.log.count("missing")


LAYOUTS = {  # of 2,000 entries: which are stale, tags, and the LREMs and LPUSHes of the rewrite
    "tail": (lambda i: i >= 1800, {}, 0, False),
    "tail-and-inside": (lambda i: i >= 1800 or i in (3, 1500, 1790, 1799), {}, 3, False),
    "kept-twice-beside-dropped-twice": (  # dropped copies inside and at the tail
        lambda i: i >= 1800 or i == 1602, {1600: "twice", 1601: "twice", 1602: "x", 1999: "x"}, 1, False),
    "scattered": (lambda i: i % 7 == 3, {}, 0, True),
}


@pytest.mark.parametrize("layout", LAYOUTS)
def test_each_rewrite_leaves_the_kept_entries_in_order(world, layout):
    stale, tags, lrems, pushes_back = LAYOUTS[layout]
    _, kept = fill(world, stale, 2000, tags)
    world.settings(keys=["alert"])
    world.redis.config_resetstat()
    one_cycle(world)
    assert world.redis.lrange("alert", 0, -1) == kept
    stats = world.redis.info("commandstats")
    assert (stats.get("cmdstat_lrem", {}).get("calls", 0), "cmdstat_lpush" in stats) == (lrems, pushes_back)


@pytest.mark.parametrize("changes", [1, 4])
def test_a_list_changed_before_exec_is_read_again(world, changes):
    # The push-back becomes certain in the second piece read, after the first was let go.
    entries, kept = fill(world, lambda i: i >= 15000 and i % 2, 60000)
    world.settings(keys=["alert"])
    pushed = []  # head first
    after_reads(lambda: pushed.insert(0, event(0, f"pushed {len(pushed)}")) or redis.Redis().lpush("alert", pushed[0]),
                changes)
    one_cycle(world)
    left = world.redis.lrange("alert", 0, -1)
    expected = pushed + (entries if changes > 3 else kept)
    lost = sorted(e.split(b'"tag":"')[1].split(b'"')[0].decode() for e in set(expected) - set(left))
    assert not lost, f"{len(lost)} entries lost: {lost[:10]}"
    assert left == expected
    assert world.log.count("timeregister: alert kept changing, left for the next run") == (changes > 3)
    assert len(pushed) == changes and world.redis.info("commandstats")["cmdstat_watch"]["calls"] == min(changes, 3) + 1


@pytest.mark.parametrize("stale", [lambda i: i >= 30000, lambda i: i % 2], ids=["trim", "push-back"])
def test_refused_writes_leave_the_list_whole(world, stale):
    entries, kept = fill(world, stale, 60000)
    world.settings(keys=["alert"])
    after_reads(lambda: redis.Redis().config_set("maxmemory", 1), 1)
    one_cycle(world)
    assert world.redis.lrange("alert", 0, -1) == entries
    [refused] = world.log.matching("timeregister: couldn't trim alert: ")
    assert refused.priority == 1 and "EXECABORT" in refused.message
    world.redis.config_set("maxmemory", 0)
    one_cycle(world)
    assert world.redis.lrange("alert", 0, -1) == kept


@pytest.mark.serial
@pytest.mark.server(*AOF)
@pytest.mark.parametrize("moment", ["reading", "rewriting"])
def test_a_server_killed_mid_run_leaves_the_list_whole_or_trimmed(world, moment):
    entries, kept = fill(world, lambda i: i % 2, 300000 // SCALE)
    world.settings(keys=["alert"])
    pid = world.start("velstrand")
    queued = lambda: any(int(c["multi"]) >= 2 for c in world.redis.client_list())  # noqa: E731
    read = lambda: "cmdstat_lrange" in world.redis.info("commandstats")  # noqa: E731
    assert wait_until(read if moment == "reading" else queued, 60, 0.001), world.log.dump()
    world.server.kill()
    assert exit_code(wait_exit(pid, 30)) == 1
    world.server.start()
    assert world.redis.lrange("alert", 0, -1) in (entries, kept)
    one_cycle(world)
    assert world.redis.lrange("alert", 0, -1) == kept
