# A guided run of velstrandtest on realistic events, for a newcomer (scripts/demo). Inside a
# private namespace, with its own redis-server, settings file and syslog socket (nothing of the
# machine's own is touched), it fills the main list with events of several types, a third of them
# days old, starts a stand-in for the engine's process, runs the five cycles while printing the
# daemon's syslog lines, and then shows what each list holds.
import json
import os
import random
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
import harness  # noqa: E402

TYPES = ["alert", "dns", "http", "tls", "flow", "fileinfo", "anomaly"]
DETAILS = {
    "alert": {"action": "allowed", "signature_id": 2100498, "rev": 7, "severity": 2,
              "signature": "GPL ATTACK_RESPONSE id check returned root"},
    "dns": {"type": "query", "rrname": "host.example.org", "rrtype": "A"},
    "http": {"hostname": "www.example.com", "url": "/index.html", "http_method": "GET",
             "status": 200},
    "tls": {"subject": "CN=example.com", "version": "TLS 1.3", "sni": "example.com"},
    "flow": {"pkts_toserver": 12, "pkts_toclient": 10, "bytes_toserver": 1450, "state": "closed"},
    "fileinfo": {"filename": "/download/setup.exe", "size": 482133, "stored": False},
    "anomaly": {"type": "decode", "event": "ipv4.trunc_pkt"},
}


def event(kind, when, n):
    """One event as the engine writes it; its flow_id is n."""
    stamp = time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(when)) + ".123456+0000"
    return json.dumps({"timestamp": stamp, "flow_id": n, "in_iface": "eth0", "event_type": kind,
                       "src_ip": f"10.0.{n % 250}.{1 + n % 200}", "src_port": 30000 + n % 30000,
                       "dest_ip": "192.168.1.10", "dest_port": 443, "proto": "TCP",
                       kind: DETAILS[kind]}, separators=(",", ":"))


def main():
    world = harness.World()
    world.settings(sleeping_time=1, keys=TYPES + ["stats_report"], valid_duration=24)
    print("== settings file (/etc/quellbay/conf.cfg inside the demo's namespace)")
    print(open(harness.CONF).read())

    rng, now = random.Random(7), time.time()
    stale = {kind: 0 for kind in TYPES}
    made = {kind: 0 for kind in TYPES}
    events = []
    for n in range(2400):
        kind, old = rng.choice(TYPES), rng.random() < 1 / 3
        age = 86400 * rng.randint(2, 5) if old else rng.randint(0, 3600)
        events.append(event(kind, now - age, n))
        made[kind] += 1
        stale[kind] += old
    world.redis.rpush("suricata", *events)
    print(f"== {len(events)} events pushed to the main list 'suricata', for example:")
    print(f"  {events[0]}\n")

    shutil.copy("/bin/sleep", "/mnt/scratch/Suricata-Main")
    engine = subprocess.Popen(["/mnt/scratch/Suricata-Main", "1000"])
    print(f"== started a STAND-IN process named Suricata-Main (pid {engine.pid}), so the report\n"
          "   has real /proc figures; it is not the monitoring engine\n")

    print("== running velstrandtest: five cycles with a one-second pause")
    daemon, shown, status = world.start("velstrandtest"), 0, None
    while status is None:
        status = harness.wait_exit(daemon, 0.2)
        for line in world.log.lines[shown:]:
            print(f"  syslog {line!r}")
            shown += 1
    print(f"   velstrandtest exited with status {harness.exit_code(status)}\n")

    left = world.redis.llen("suricata")
    print(f"== what the cycles did (the main list now holds {left} events)")
    print(f"  {'list':10} {'fanned out':>11} {'stale':>6} {'now holds':>10} {'trimmed':>8}")
    for kind in TYPES:
        held = world.redis.llen(kind)
        print(f"  {kind:10} {made[kind]:11} {stale[kind]:6} {held:10} {made[kind] - held:8}")
    reports = world.redis.lrange("stats_report", 0, -1)
    print(f"\n== stats_report holds {len(reports)} reports; the newest:")
    print(f"  {reports[-1].decode().strip()}")
    print("   (memory in kB from the stand-in's /proc status; CPU_percent counts whole CPU\n"
          "   seconds over the process's life, so an idle stand-in shows 0)")
    world.close()
    return harness.exit_code(status)


if __name__ == "__main__":
    harness.main_in_namespace(__file__, lambda args: main())
