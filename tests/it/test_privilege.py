# The service as shipped, without systemd: the daemon as an unprivileged user, with the shipped
# settings file, under the unit's /proc and exec restrictions (made with the kernel mechanisms
# systemd uses: proc's hidepid= and subset=, noexec mounts), against an engine owned by root.
import ctypes
import datetime
import json
import os
import re
import signal
import subprocess
import sys

from harness import BIN, NOBODY, exit_code, sh, wait_exit

TOP = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
# The engine's stand-in runs as root under the engine's name, and idles after a second of CPU.
ENGINE = ("import ctypes, time\nctypes.CDLL(None).prctl(15, b'Suricata-Main')\n"
          "while time.process_time() < 1.2: pass\nprint(flush=True)\ntime.sleep(600)")


def apply_unit_restrictions(request):
    unit = dict(re.findall(r"^(\w+)=(.*)$", open(f"{TOP}/packaging/velstrand.service").read(), re.M))
    subset = ",subset=pid" if unit.get("ProcSubset") == "pid" else ""
    hidepid = unit.get("ProtectProc", "default").replace("default", "off")
    sh("mount", "-t", "proc", "-o", f"hidepid={hidepid}{subset}", "proc", "/proc")
    # Bound before / turns noexec, each path keeps exec; find is for the check at the end. The
    # private /tmp (the unit's PrivateTmp) keeps the host's other processes out of that check.
    for path in unit["ExecPaths"].replace("/usr/sbin", BIN).split() + ["/usr/bin/find"]:
        sh("mount", "--bind", path, path)
    for path in ("/tmp", "/var/tmp", "/run/lock"):  # given back before pytest returns to a clone there
        sh("mount", "-t", "tmpfs", "tmpfs", path)
        request.addfinalizer(lambda path=path: ctypes.CDLL(None).umount2(path.encode(), 2))  # detach
    sh("mount", "-o", "remount,noexec", "/mnt")
    sh("mount", "-o", "remount,bind,noexec", "/")


def test_unprivileged_daemon_does_the_whole_batch_and_writes_nothing_outside_redis(world, request):
    world.write_settings(open(f"{TOP}/conf/velstrand.cfg").read())
    now = datetime.datetime.now(datetime.timezone.utc)
    events = [json.dumps({"event_type": kind, "timestamp": f"{now - datetime.timedelta(hours=age):%FT%T.%f%z}"})
              .encode() for kind, age in (("alert", 0), ("alert", 48), ("smtp", 48))]
    world.redis.rpush("suricata", *events)
    engine = subprocess.Popen([sys.executable, "-c", ENGINE], stdout=subprocess.PIPE)
    engine.stdout.readline()
    apply_unit_restrictions(request)
    open("/mnt/started", "w").close()

    daemon = world.start("velstrand", uid=NOBODY)
    assert world.log.wait_for("velstrand: lock lock:velstrand released"), world.log.dump()
    os.kill(daemon, signal.SIGTERM)
    assert exit_code(wait_exit(daemon)) == 0

    # Fanned out, the stale alert trimmed, the type the sample does not list left alone.
    assert [world.redis.lrange(k, 0, -1) for k in ("suricata", "alert", "smtp")] == [[], events[:1], events[2:]]
    [report] = [json.loads(r) for r in world.redis.lrange("stats_report", 0, -1)]
    status = dict(re.findall(r"^(\w+):\s+(\d+) kB", open(f"/proc/{engine.pid}/status").read(), re.M))
    assert (report["virtual_memory"], report["physical_memory"], report["alerts"]) == \
        (int(status["VmSize"]), int(status["VmRSS"]), 1) and report["CPU_percent"] > 0, report
    assert world.log.count(f"velstrand started by system {NOBODY}") == 1
    assert all(line.priority > 4 for line in world.log.lines), world.log.dump()  # no fallback
    # Nothing that this user may write changed while it ran.
    assert subprocess.run(["find", "/", "(", "-path", "/proc", "-o", "-path", "/sys", ")", "-prune", "-o",
                           "-newer", "/mnt/started", "-writable", "-print"], user=NOBODY, group=NOBODY,
                          extra_groups=[], capture_output=True, text=True).stdout == ""
