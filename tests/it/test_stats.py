# The report a daemon stores, byte for byte, against the /proc figures of stand-ins for the
# engine: processes that rename themselves Suricata-Main (pgrep matches the process name).
import datetime
import os
import signal
import subprocess
import syslog

import pytest

from harness import NOBODY, exit_code, wait_exit

STAND_IN = """import ctypes, sys, time
ctypes.CDLL(None).prctl(15, b"Suricata-Main")
memory = b"x" * (int(sys.argv[1]) << 20)
print(flush=True)
time.sleep(1000)"""


def stand_in(megabytes):
    p = subprocess.Popen(["/usr/bin/python3", "-c", STAND_IN, str(megabytes)], stdout=subprocess.PIPE)
    p.stdout.readline()  # its memory is touched and holds still
    return p


def memory_kb(pid):
    lines = dict(l.split(":", 1) for l in open(f"/proc/{pid}/status").read().splitlines())
    return int(lines["VmRSS"].split()[0]), int(lines["VmSize"].split()[0])


# Several engines: pgrep lists the oldest first, and that one is sampled.
@pytest.mark.parametrize("engines,uid", [(0, None), (0, NOBODY), (2, None)], ids=["none", "none-as-nobody", "two"])
def test_report_bytes(world, engines, uid):
    world.settings(sleeping_time=100)
    stand_ins = [stand_in(mb) for mb in (48, 8)[:engines]]
    world.redis.rpush("alert", "a", "b", "c")
    daemon = world.start("velstrand", uid=uid)
    assert world.log.wait_for("velstrand: lock lock:velstrand released")
    [report] = world.redis.lrange("stats_report", 0, -1)
    stamp = report.split(b'"timestamp":"')[1][:24].decode()
    written = datetime.datetime.strptime(stamp, "%Y-%m-%dT%H:%M:%S%z")
    assert abs(datetime.datetime.now(datetime.timezone.utc) - written) < datetime.timedelta(seconds=30)
    rss, size = memory_kb(stand_ins[0].pid) if stand_ins else (0, 0)
    assert report == (f'{{"CPU_percent":0.0,"alerts":3,"physical_memory":{rss},'
                      f'"timestamp":"{stamp}","virtual_memory":{size}}}\n').encode()
    missing = world.log.matching("stats: Suricata process not found")
    assert [(l.priority, l.message) for l in missing] == [
        (syslog.LOG_INFO, f"stats: Suricata process not found. uid={uid or 0}")] * (not engines)
    os.kill(daemon, signal.SIGTERM)
    assert exit_code(wait_exit(daemon)) == 0
