#!/usr/bin/python3
# Retention benchmark, figures only. One list of ~1 KB events, newest at the head as the fan-out
# builds it, aged by velstrandtest in two runs of one process (the program holds what it judged
# in the first), with a change made between them while this benchmark holds the cycle lock:
#   fresh      nothing stale; 1,000 new entries at the head before the second run
#   oldest10   the oldest 10% leave the window (valid_duration lowered from 24 to 20)
#   flowlike   the oldest 20% interleave kept and stale entries, every other one leaves the window
#   tail       (first run only) the oldest 10% stale, with 100 more just inside the kept ones
#   alternate  (first run only) every other entry stale
# For each run: the job's milliseconds, Redis's own CPU (INFO used_cpu_sys + used_cpu_user), the
# job's peak RSS, the longest time Redis answered no PING sent every 10 ms and the longest command
# by Redis's own latency monitor (0: none over 10 ms). Beside it, the
# least work that turns the list into the same result (MULTI, LTRIM, the pushes, EXEC) and the
# reading of what left the window (of the whole list, for a single run), sent by redis-cli
# --pipe, with their CPU, and the job's time against theirs in one stream.
# As root, in a namespace of its own:  bench/retention_bench.py [ENTRIES [CASE ...]]
import calendar
import os
import re
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
import harness  # noqa: E402
from benchlib import Pinger, resp  # noqa: E402

LOCK = "lock:velstrand"


def event(i, hours):
    t = time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(time.time() - hours * 3600))
    head = (f'{{"timestamp":"{t}.{i % 999999:06d}+0000","flow_id":{i},"in_iface":"eth0","event_type":"alert",'
            f'"src_ip":"10.{i % 250}.0.17","src_port":{1024 + i % 60000},"dest_ip":"192.168.1.20","dest_port":80,'
            f'"proto":"TCP","alert":{{"signature_id":2019401,"signature":"ET POLICY STUN Binding"}},"payload":"')
    return (head + "A" * (1000 - len(head)) + '"}').encode()


# The list's entries, head first, the hours of each, and the window of the two runs.
def layout(n, case):
    old = n * 9 // 10 if case in ("oldest10", "tail") else n * 8 // 10
    def hours(i):
        if case == "alternate":
            return 30 if i % 2 else 20 * i / n
        if case == "tail":
            return 30 if i >= old or (old - 1000 <= i < old and i % 10 == 0) else 19 * i / old
        if i < old or case == "fresh" or (case == "flowlike" and i % 2 == 0):
            return 19 * min(i, old) / old
        return 22.5
    return [event(i, hours(i)) for i in range(n)], (24, 20 if case in ("oldest10", "flowlike") else 24)


def cpu(world):
    info = world.redis.info("cpu")
    return info["used_cpu_sys"] + info["used_cpu_user"]


# One batch of the daemon, started by letting go of the lock; its figures.
def batch(world, pid, k):
    with open(f"/proc/{pid}/clear_refs", "w") as f:
        f.write("5")  # the peak RSS counts from here
    world.redis.execute_command("LATENCY", "RESET")
    pinger, before = Pinger(), cpu(world)
    world.redis.delete(LOCK)
    assert world.log.wait_for("timings ms", k, timeout=900), world.log.dump()
    assert world.log.wait_for("lock:velstrand released", k, timeout=60)
    while not world.redis.set(LOCK, "1", nx=True):  # no batch until the next change is made
        time.sleep(0.005)
    pinger.running = False
    ms = int(re.search(r"timeregister=(\d+)", world.log.matching("timings ms")[k - 1].message)[1])
    hwm = int(re.search(r"VmHWM:\s+(\d+)", open(f"/proc/{pid}/status").read())[1]) / 1024
    # The server's own account of its longest command (events over the monitor's 10 ms threshold).
    stall = max([e[2] for e in world.redis.execute_command("LATENCY", "LATEST")] or [0])
    return dict(ms=ms, cpu=cpu(world) - before, rss=hwm, ping=pinger.longest * 1000, stall=stall)


# Sends `cmds` with redis-cli --pipe; Redis's CPU for them and the wall time.
def pipe(world, cmds):
    with open("/mnt/stream.resp", "wb") as f:
        f.writelines(cmds)
    before, start = cpu(world), time.monotonic()
    subprocess.run("redis-cli --pipe < /mnt/stream.resp", shell=True, check=True, stdout=subprocess.DEVNULL)
    return cpu(world) - before, time.monotonic() - start


# The least work from `entries` to `kept` (head first): MULTI, an LTRIM of the common head, the
# rest pushed at the tail, EXEC; and the reading of what a run must read, from `read_from` on.
# Redis's CPU for each, and the wall time of both in one stream.
def least_work(world, entries, kept, read_from):
    common = next((i for i, (a, b) in enumerate(zip(entries, kept)) if a != b), len(kept))
    work = [resp(b"MULTI"), resp(b"LTRIM", b"alert", b"0", b"%d" % (common - 1))]
    work += [resp(b"RPUSH", b"alert", *kept[i:i + 4096]) for i in range(common, len(kept), 4096)]
    work.append(resp(b"EXEC"))
    reads = [resp(b"LRANGE", b"whole", b"%d" % i, b"%d" % (min(i + 10000, len(entries)) - 1))
             for i in range(read_from if read_from is not None else common, len(entries), 10000)]
    world.redis.copy("whole", "alert", replace=True)
    work_cpu = pipe(world, work)[0] if len(kept) < len(entries) else 0.0
    assert world.redis.lrange("alert", 0, -1) == kept
    read_cpu = pipe(world, reads)[0] if reads else 0.0
    world.redis.copy("whole", "alert", replace=True)
    return work_cpu, read_cpu, pipe(world, reads + (work if len(kept) < len(entries) else []))[1]


def run_case(world, n, case):
    entries, (first_window, second_window) = layout(n, case)
    world.redis.flushall()
    for i in range(0, n, 10000):
        world.redis.rpush("whole", *entries[i:i + 10000])
    world.redis.copy("whole", "alert")
    world.settings(sleeping_time=1, main_key="empty", keys=["alert"], valid_duration=first_window)
    world.log.lines.clear()
    world.redis.set(LOCK, "1")  # held by this namespace's init, alive
    pid = world.start("velstrandtest")
    assert world.log.wait_for("is busy")
    runs = [batch(world, pid, 1)]
    if case in ("fresh", "oldest10", "flowlike"):
        if case == "fresh":
            fresh = [event(n + i, 0) for i in range(1000)]
            world.redis.lpush("alert", *fresh[::-1])
            entries = fresh + entries
        world.settings(sleeping_time=1, main_key="empty", keys=["alert"], valid_duration=second_window)
        runs.append(batch(world, pid, 2))
    os.kill(pid, 9)
    harness.wait_exit(pid)
    now = time.time()
    kept = [e for e in entries
            if now - calendar.timegm(time.strptime(e[14:33].decode(), "%Y-%m-%dT%H:%M:%S")) < (second_window + 1) * 3600]
    assert world.redis.lrange("alert", 0, -1) == kept, "not the full read's result"
    world.redis.delete("whole")
    harness.rpush(world.redis, "whole", entries)
    # A second run reads what left the window; a single run reads the whole list.
    work, reading, stream = least_work(world, entries, kept, None if len(runs) > 1 else 0)
    for i, r in enumerate(runs):
        print(f"{n} entries, {case}, run {i + 1}: job {r['ms'] / 1000:.3f} s, Redis CPU {r['cpu']:.3f} s, "
              f"peak RSS {r['rss']:.0f} MB, longest PING gap {r['ping']:.0f} ms, "
              f"longest command {r['stall']} ms", flush=True)
    print(f"{n} entries, {case}: least work {work:.3f} s and reading {'what left' if len(runs) > 1 else 'it all'} "
          f"{reading:.3f} s of Redis CPU; last run's CPU / theirs {runs[-1]['cpu'] / max(work + reading, 1e-3):.2f}; "
          f"last job / their stream {runs[-1]['ms'] / 1000 / stream:.2f} ({stream:.3f} s)", flush=True)


def main(args):
    n = int(args[0]) if args else 1000000
    cases = args[1:] or ["fresh", "oldest10", "flowlike", "tail", "alternate"]
    world = harness.World("--latency-monitor-threshold", "10")
    for case in cases:
        run_case(world, n, case)
    world.close()


if __name__ == "__main__":
    harness.main_in_namespace(__file__, main)
