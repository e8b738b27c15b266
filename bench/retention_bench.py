#!/usr/bin/python3
# Retention benchmark, figures only. On one list of ~1 KB events, newest at the head, in one run:
# the job (velstrandtest's first batch) beside redis-cli --pipe sending the commands that rewrite
# the list at least cost, for two layouts: the oldest 10% stale at the tail with 100 more just
# inside the kept ones (LLEN, LRANGEs, MULTI, one LTRIM, 100 LREMs, EXEC), and every other entry
# stale (LLEN, LRANGEs, MULTI, LTRIM, the kept entries in LPUSHes, EXEC). Prints times, ratios,
# the job's peak RSS against the list's bytes and the longest time Redis answered no PING sent
# every 10 ms. As root:  bench/retention_bench.py [ENTRIES ...]
import os
import re
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
import harness  # noqa: E402

def event(i, hours):
    t = time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(time.time() - hours * 3600))
    head = (f'{{"timestamp":"{t}.{i % 999999:06d}+0000","flow_id":{i},"in_iface":"eth0","event_type":"alert",'
            f'"src_ip":"10.{i % 250}.0.17","src_port":{1024 + i % 60000},"dest_ip":"192.168.1.20","dest_port":80,'
            f'"proto":"TCP","alert":{{"signature_id":2019401,"signature":"ET POLICY STUN Binding"}},"payload":"')
    return (head + "A" * (1000 - len(head)) + '"}').encode()


def resp(*args):
    return b"*%d\r\n" % len(args) + b"".join(b"$%d\r\n%s\r\n" % (len(a), a) for a in args)


# The list head first and its kept entries; writes the commands of the least-cost rewrite.
def layout(n, name):
    inside = set(range(n * 9 // 10 - 1000, n * 9 // 10, 10))
    stale = [i >= n * 9 // 10 or i in inside if name == "tail" else i % 2 == 1 for i in range(n)]
    entries = [event(i, 30 if s else 20 * i / n) for i, s in enumerate(stale)]
    kept = [e for e, s in zip(entries, stale) if not s]
    cmds = [resp(b"LLEN", b"alert")] + [resp(b"LRANGE", b"alert", b"%d" % i, b"%d" % (min(i + 10000, n) - 1))
                                        for i in range(0, n, 10000)] + [resp(b"MULTI")]
    if name == "tail":
        cmds += [resp(b"LTRIM", b"alert", b"0", b"%d" % (n * 9 // 10 - 1))]
        cmds += [resp(b"LREM", b"alert", b"-1", entries[i]) for i in sorted(inside, reverse=True)]
    else:
        cmds += [resp(b"LTRIM", b"alert", b"%d" % n, b"-1")]
        cmds += [resp(b"LPUSH", b"alert", *kept[max(0, i - 4096):i][::-1]) for i in range(len(kept), 0, -4096)]
    with open("/mnt/stream.resp", "wb") as f:
        f.writelines(cmds + [resp(b"EXEC")])
    return entries, kept


def pipe(world):
    world.redis.copy("whole", "alert", replace=True)
    start = time.monotonic()
    subprocess.run("redis-cli --pipe < /mnt/stream.resp", shell=True, check=True, stdout=subprocess.DEVNULL)
    return time.monotonic() - start


def job(world, kept):
    world.redis.copy("whole", "alert", replace=True)
    world.log.lines.clear()
    pid, gap, start = world.start("velstrandtest"), 0.0, time.monotonic()
    last = start
    while not world.log.count("timings ms"):  # a PING every 10 ms meanwhile: the longest wait
        assert time.monotonic() - start < 900, world.log.dump()
        world.redis.ping()
        gap, last = max(gap, time.monotonic() - last), time.monotonic()
        time.sleep(0.01)
    ms = int(re.search(r"timeregister=(\d+)", world.log.matching("timings ms")[0].message)[1])
    with open(f"/proc/{pid}/status") as f:
        hwm = int(re.search(r"VmHWM:\s+(\d+)", f.read())[1]) * 1024
    os.kill(pid, 9)
    harness.wait_exit(pid)
    assert world.redis.lrange("alert", 0, -1) == kept
    return ms / 1000, hwm, gap


def main(sizes):
    world = harness.World()
    world.settings(sleeping_time=600, main_key="empty", keys=["alert"])
    for n, name in [(n, name) for n in sizes for name in ("tail", "alternating")]:
        entries, kept = layout(n, name)
        world.redis.delete("whole")
        for i in range(0, n, 10000):
            world.redis.rpush("whole", *entries[i:i + 10000])
        runs = [(*job(world, kept), pipe(world)) for _ in range(3 if n <= 200000 else 1)]
        t, rss, gap, stream = [statistics.median(r[k] for r in runs) for k in range(4)]
        size = sum(map(len, entries))
        print(f"{n} entries ({size / 1e6:.0f} MB), {name}, medians of {len(runs)}: job {t:.3f} s, stream "
              f"{stream:.3f} s, ratio {t / stream:.2f}; peak RSS {rss / 1e6:.0f} MB = {rss / size:.2f}x the list; "
              f"longest PING gap {gap * 1000:.0f} ms", flush=True)
    world.close()


if __name__ == "__main__":
    harness.main_in_namespace(__file__, lambda args: main([int(a) for a in args] or [100000, 1000000]))
