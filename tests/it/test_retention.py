# The retention job through the real programs: the window, the order, what cannot be aged, the
# ways a list is rewritten, another client changing the list during a run or between runs (which
# the daemon must see, though it reads only what may have changed), a full server, a stop and a
# server that dies mid-run. Every list must end as a full read leaves it: the kept entries, in order.
import os
import signal
import subprocess
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


# Runs a daemon's batches one at a time: between two, this namespace's init (alive) holds the lock
# while the case changes the list, so the daemon keeps what it judged and meets only the change.
class Batches:
    def __init__(self, world, program="velstrand"):
        self.world, self.done = world, 0
        world.redis.set("lock:velstrand", "1")
        self.pid = world.start(program)

    def run(self):
        self.world.redis.delete("lock:velstrand")
        self.done += 1
        assert self.world.log.wait_for("velstrand: lock lock:velstrand released", self.done, 120)
        while not self.world.redis.set("lock:velstrand", "1", nx=True):
            time.sleep(0.005)


def one_cycle(world):
    released = "velstrand: lock lock:velstrand released"
    n, pid = world.log.count(released) + 1, world.start("velstrand")
    assert world.log.wait_for(released, n, timeout=120), world.log.dump()
    os.kill(pid, signal.SIGKILL)
    wait_exit(pid, 10)


# Follows the server from another client and calls action() right after each of the first `times`
# reads of the second of the twelve pieces of the 60,000 entries of alert: the job has ten more to
# read before its EXEC. Gives up after a minute without a command.
def after_reads(action, times):
    def follow():
        with redis.Redis(socket_timeout=60).monitor() as m:
            ready.set()
            for _ in range(times):
                while m.next_command()["command"] != "LRANGE alert 5000 9999":
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


LAYOUTS = {  # of 2,000 entries: which are stale, tags, and the LREMs and the push of the rewrite
    "tail": (lambda i: i >= 1800, {}, 0, None),
    "tail-and-inside": (lambda i: i >= 1800 or i in (3, 1500, 1790, 1799), {}, 3, None),
    "kept-twice-beside-dropped-twice": (  # dropped copies inside and at the tail
        lambda i: i >= 1800 or i == 1602, {1600: "twice", 1601: "twice", 1602: "x", 1999: "x"}, 1, None),
    # Every other entry of the oldest (tail) or newest (head) fifth stale, copies of kept and of
    # stale texts among them: that side alone is pushed back, at its own end.
    "tail-side": (lambda i: i >= 1600 and i % 2, {i: f"c{i // 4}" for i in range(1600, 2000)}, 0, "rpush"),
    "head-side": (lambda i: i < 400 and i % 2, {i: f"c{i // 4}" for i in range(400)}, 0, "lpush"),
    # Stale throughout, copies among the kept: too many texts to remove one by one, so the tail
    # side is pushed back as it is read, though the first stale entry is the second.
    "throughout": (lambda i: i % 3, {i: f"k{i // 30}" for i in range(0, 2000, 3)}, 0, "rpush"),
}


@pytest.mark.parametrize("layout", LAYOUTS)
def test_each_rewrite_leaves_the_kept_entries_in_order(world, layout):
    stale, tags, lrems, push = LAYOUTS[layout]
    _, kept = fill(world, stale, 2000, tags)
    world.settings(keys=["alert"])
    world.redis.config_resetstat()
    one_cycle(world)
    assert world.redis.lrange("alert", 0, -1) == kept
    calls = {k[8:]: v["calls"] for k, v in world.redis.info("commandstats").items()}
    pushed = "lpush" if "lpush" in calls else "rpush" if calls["rpush"] > 1 else None  # one RPUSH is the report's
    assert (calls.get("lrem", 0), pushed) == (lrems, push)


@pytest.mark.parametrize("changes", [1, 4])
def test_a_list_changed_before_exec_is_read_again(world, changes):
    # The list changes before the rewrite becomes certain, in the fourth piece. An entry that is
    # not JSON is logged once for the run, however often the list is read.
    entries, kept = fill(world, lambda i: i >= 15000 and i % 2, 60000)
    entries.insert(0, world.redis.lpush("alert", b"{not json") and b"{not json")
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
    assert world.log.count("timeregister: JSON parse error for key alert") == (changes <= 3)
    assert len(pushed) == changes and world.redis.info("commandstats")["cmdstat_watch"]["calls"] == min(changes, 3) + 1


def test_at_maxmemory_what_needs_no_memory_is_removed_and_memory_falls(world):
    # The oldest half stale at the tail, and every other entry of the newest tenth, which only a
    # rewrite that needs memory removes: that waits, the trim does not.
    entries, kept = fill(world, lambda i: i >= 30000 or (i < 6000 and i % 2), 60000)
    world.settings(keys=["alert"])
    world.redis.config_set("maxmemory", int(world.redis.info("memory")["used_memory"] * 0.8))
    with pytest.raises(redis.ResponseError, match="^OOM "):
        world.redis.rpush("suricata", event(0, "refused"))
    one_cycle(world)
    assert world.redis.lrange("alert", 0, -1) == entries[:30000]
    assert world.log.count("timeregister: couldn't rewrite alert: EXECABORT") == 1
    world.redis.rpush("suricata", event(0, "stored"))
    world.redis.config_set("maxmemory", 0)
    one_cycle(world)
    assert world.redis.lrange("alert", 0, -1) == kept


# One daemon ages one list run after run, and between two runs the list changes as the engine,
# a consumer or another daemon would change it: each run must leave what a full read leaves. The
# list, head first: 24,000 entries in eight hourly groups (0.5 to 7.5 hours old), then an oldest
# fifth alternating 7.5 and 10.5 hours, copies among them.
BASE = [(i // 3000 + 0.5, f"b{i}") for i in range(24000)] + [(10.5 if i % 2 else 7.5, f"c{i // 4}") for i in range(6000)]
STEPS = [  # what changes, the window of the run after it, and whether that run must read all
    ("grown at the head", lambda l: [(0.5, "n1"), (30.5, "n2"), (None, "{not json")] + l, 24, False),
    ("grown at the tail", lambda l: l + [(1.5, "t1"), (40.5, "t2")], 24, False),
    ("popped at the head", lambda l: l[5:], 24, False),
    ("popped at the tail", lambda l: l[:-3], 24, False),
    ("the oldest fifth's every other entry leaves the window", lambda l: l, 9, False),
    ("trimmed at the tail by another daemon, less than this one trims", lambda l: l[:-1000], 6, False),
    ("replaced by another list of the same length",
     lambda l: [(30.5 if i % 7 == 3 else 2.5, f"r{i}") for i in range(len(l))], 6, True),
    ("the window widened", lambda l: l, 24, False),
]


def text(age, tag):
    return tag.encode() if age is None else event(-age * H, tag)


def test_each_run_reads_what_changed_and_leaves_a_full_reads_result(world):
    model = BASE
    world.redis.rpush("alert", *[text(*e) for e in model])
    world.settings(keys=["alert"])
    batches = Batches(world)
    batches.run()
    for what, change, window, whole in STEPS:
        model = change(model)
        world.redis.delete("alert")
        for i in range(0, len(model), 10000):
            world.redis.rpush("alert", *[text(*e) for e in model[i:i + 10000]])
        world.settings(keys=["alert"], valid_duration=window)
        sent = world.redis.info("stats")["total_net_output_bytes"]
        batches.run()
        read = (world.redis.info("stats")["total_net_output_bytes"] - sent) / (len(model) * len(text(*model[-1])))
        model = [e for e in model if e[0] is not None and e[0] < window + 1]
        assert world.redis.lrange("alert", 0, -1) == [text(*e) for e in model], what
        assert (read > 1) if whole else (read < 0.5), (what, read)


# An edit in the middle of a list, which no check of its ends can see, is judged when the list is
# read whole again: after four seconds for this program, an hour for the daemon.
def test_the_full_read_comes_round(world):
    fill(world, lambda i: False, 30000)
    world.settings(keys=["alert"])
    batches = Batches(world, "velstrandshort")
    batches.run()
    world.redis.lset("alert", 15000, b"{not json")
    batches.run()
    assert world.redis.llen("alert") == 30000, "read whole before its time"
    time.sleep(4)
    batches.run()
    assert world.redis.llen("alert") == 29999 and world.log.count("JSON parse error") == 1


# A stop asked for while a long list is read ends the run at the next piece, the list whole.
def test_a_stop_during_retention_ends_it_between_pieces(world):
    entries, _ = fill(world, lambda i: i % 2, 300000 // SCALE)
    world.settings(keys=["alert"])
    # The daemon (a session's leader), not the started process, which may still be on its way out.
    daemons = lambda: map(int, subprocess.run(["pgrep", "-x", "velstrand"], capture_output=True).stdout.split())  # noqa: E731
    after_reads(lambda: [os.kill(pid, signal.SIGTERM) for pid in daemons() if os.getsid(pid) == pid], 1)
    assert exit_code(wait_exit(world.start("velstrand"), 60)) == 0
    assert world.log.count("velstrand: stop requested after batch") == 1
    assert world.redis.lrange("alert", 0, -1) == entries


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
