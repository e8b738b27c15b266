#!/usr/bin/python3
# Fan-out benchmark, figures only. First a backlog of mixed sizes (1,000 events of 200 B, then
# 600 of 1 MB): the job's peak RSS, the longest time Redis answered no PING sent every 10 ms by
# another client, and whether every event was filed exactly once. Then, on the same ~1 KB events
# of mixed types, in one run: the job (velstrandtest's first batch), redis-cli --pipe sending the
# per-event stream (MULTI, one LPUSH per event, LPOP with a count, EXEC) and the echo-free grouped
# floor (MULTI, variadic LPUSHes per type, LTRIM, EXEC). Prints times, the server's own CPU
# (used_cpu_sys + used_cpu_user) and their ratios (medians over rounds), events per second, the
# job's peak RSS and the longest PING gap.
# As root, in a namespace of its own:  bench/fanout_bench.py [EVENTS ...]
import collections
import os
import re
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
import harness  # noqa: E402
from benchlib import Pinger, resp  # noqa: E402


def write_streams(evs):
    per_event = [resp(b"MULTI")]
    per_event += [resp(b"LPUSH", harness.TYPES[i % 7].encode(), e) for i, e in enumerate(evs)]
    per_event += [resp(b"LPOP", b"suricata", b"%d" % len(evs)), resp(b"EXEC")]
    floor = [resp(b"MULTI")]
    for t, name in enumerate(harness.TYPES):
        mine = evs[t::7]
        floor += [resp(b"LPUSH", name.encode(), *mine[i:i + 2000]) for i in range(0, len(mine), 2000)]
    floor += [resp(b"LTRIM", b"suricata", b"%d" % len(evs), b"-1"), resp(b"EXEC")]
    for name, parts in (("per_event", per_event), ("floor", floor)):
        with open(f"/mnt/{name}.resp", "wb") as f:
            f.writelines(parts)


def loaded(world, evs):
    world.redis.flushall()
    harness.rpush(world.redis, "suricata", evs, batch=100)


def server_cpu(world):
    info = world.redis.info("cpu")
    return info["used_cpu_sys"] + info["used_cpu_user"]


# The time and the server's CPU of sending one stream.
def pipe(world, evs, name):
    loaded(world, evs)
    start, cpu = time.monotonic(), server_cpu(world)
    subprocess.run(f"redis-cli --pipe < /mnt/{name}.resp", shell=True, check=True,
                   stdout=subprocess.DEVNULL)
    return time.monotonic() - start, server_cpu(world) - cpu


# The job's time, peak RSS, longest PING gap and the server's CPU for its batch.
def job(world, evs):
    loaded(world, evs)
    world.log.lines.clear()
    pinger, cpu = Pinger(), server_cpu(world)
    pid = world.start("velstrandtest")
    assert world.log.wait_for("timings ms", timeout=600), world.log.dump()
    cpu = server_cpu(world) - cpu
    pinger.running = False
    ms = int(re.search(r"redistransfer=(\d+)", world.log.matching("timings ms")[0].message)[1])
    with open(f"/proc/{pid}/status") as f:
        hwm = int(re.search(r"VmHWM:\s+(\d+)", f.read())[1])
    os.kill(pid, 9)
    harness.wait_exit(pid)
    assert world.redis.llen("suricata") == 0
    return ms / 1000, hwm / 1024, pinger.longest, cpu


def mixed(world):
    evs = harness.events(1000, size=200) + harness.events(600, size=1 << 20, first=1000)
    t, rss, gap, _ = job(world, evs)
    held = collections.Counter()
    for key in harness.TYPES:
        held.update(world.redis.lrange(key, 0, -1))
    print(f"1,000 events of 200 B, then 600 of 1 MB: job {t:.3f} s, peak RSS {rss:.0f} MB, "
          f"longest PING gap {gap * 1000:.0f} ms, every event filed exactly once: "
          f"{held == collections.Counter(evs)}", flush=True)


def main(sizes):
    world = harness.World()
    world.settings(sleeping_time=600)
    mixed(world)
    per_event_cost = {}
    for n in sizes:
        evs = harness.events(n, size=1024)
        write_streams(evs)
        rounds = 3 if n <= 200000 else 1
        runs = [(job(world, evs), pipe(world, evs, "per_event"), pipe(world, evs, "floor"))
                for _ in range(rounds)]
        t, stream, floor = (statistics.median(r[i][0] for r in runs) for i in range(3))
        cpu, stream_cpu, floor_cpu = (statistics.median(r[i][-1] for r in runs) for i in range(3))
        rss, gap = max(r[0][1] for r in runs), max(r[0][2] for r in runs)
        per_event_cost[n] = t / n
        print(f"{n} events of ~1 KB, {rounds} round(s), medians:\n"
              f"  job {t:.3f} s ({n / t:,.0f} events/s), per-event stream {stream:.3f} s, "
              f"floor {floor:.3f} s\n  job/stream {t / stream:.2f}, job/floor {t / floor:.2f}, "
              f"peak RSS {rss:.0f} MB, longest PING gap {gap * 1000:.0f} ms, "
              f"{t / n * 1e6:.2f} us per event\n  server CPU: job {cpu:.3f} s, stream "
              f"{stream_cpu:.3f} s, floor {floor_cpu:.3f} s, job/floor {cpu / floor_cpu:.2f}\n"
              f"  job/stream by round: {' '.join(f'{r[0][0] / r[1][0]:.2f}' for r in runs)}",
              flush=True)
    if len(per_event_cost) > 1:
        small, large = min(per_event_cost), max(per_event_cost)
        print(f"cost per event at {large} / at {small}: "
              f"{per_event_cost[large] / per_event_cost[small]:.2f}")
    world.close()


if __name__ == "__main__":
    harness.main_in_namespace(__file__, lambda args: main([int(a) for a in args] or [100000, 1000000]))
