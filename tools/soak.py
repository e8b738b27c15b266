# A soak run (scripts/soak; not in CI): velstrand cycles each second for the minutes given (30 by
# default) while a producer appends a few hundred realistic events a second. Every 30 s it prints
# the daemon's resident memory and open descriptors, which must stay flat; at the end it checks
# that every event was filed into its type's list exactly once.
import json
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
import harness  # noqa: E402


def main(minutes, rate=300):
    world = harness.World()
    daemon, produced, began = world.start("velstrand"), 0, time.monotonic()
    while time.monotonic() - began < minutes * 60:
        harness.rpush(world.redis, "suricata", harness.events(rate, size=800, first=produced))
        produced += rate
        if produced // rate % 30 == 0:
            rss = open(f"/proc/{daemon}/status").read().split("VmRSS:")[1].split()[0]
            print(f"{time.monotonic() - began:6.0f} s  rss {rss} kB  descriptors "
                  f"{len(os.listdir(f'/proc/{daemon}/fd'))}  events {produced}", flush=True)
        time.sleep(1)
    harness.wait_until(lambda: world.redis.llen("suricata") == 0, 60)
    ids = sorted(json.loads(e)["flow_id"] for k in harness.TYPES for e in world.redis.lrange(k, 0, -1))
    print(f"{produced} events produced, {len(ids)} filed:", "each once" if ids == list(range(produced)) else "MISMATCH")
    world.close()
    return 0 if ids == list(range(produced)) else 1


if __name__ == "__main__":
    harness.main_in_namespace(__file__, lambda args: main(float(args[0]) if args else 30))
