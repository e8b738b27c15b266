# The fan-out through the real programs: where each event goes, and that every event is filed
# exactly once, in order, whichever end the engine writes to and whatever fails meanwhile.
import collections
import json
import os
import re
import signal
import threading
import time

import pytest
import redis

from harness import TYPES, events, exit_code, rpush, wait_exit, wait_until

SCALE = 5 if "ASAN_OPTIONS" in os.environ else 1  # the sanitizer build runs several times slower
AOF = ("--appendonly", "yes", "--appendfsync", "always", "--auto-aof-rewrite-percentage", "0")

FILING = [  # (event, the list it goes to; the main list's own name: put back)
    (b'{"event_type":"alert","n":1}', b"alert"), (b'{"event_type":7}', b"7"), (b'{"event_type":true}', b"true"),
    (b'{"n":2}', b""), (b'{"event_type":null}', b""), (b"null", b""), (b"not json", b""), (b"[1]", b""),
    (b'{"event_type":{"a":1}}', b""), (b"[" * 1000 + b"]" * 1000, b""), (b'{"event_type":"dns","x":"\x00"}', b"dns"),
    (b'{"event_type":"a\\u0000b"}', b"a\x00b"), (b'{"event_type":"big","x":"' + b"x" * 5000000 + b'"}', b"big"),
    (b'{"event_type":"taken"}', b"suricata"), (b'{"event_type":"suricata"}', b"suricata"),
]


def test_each_event_goes_to_its_list_byte_for_byte(world):
    world.redis.set("taken", "a string")
    world.redis.rpush("suricata", *[e for e, _ in FILING])
    world.redis.execute_command("ACL", "SETUSER", "default", "-lpush")  # the first run's transaction is refused
    daemon = world.start()
    assert world.log.wait_for("redistransfer: transaction failed!")
    world.redis.execute_command("ACL", "SETUSER", "default", "+lpush")
    assert exit_code(wait_exit(daemon, 120)) == 0
    for event, key in FILING:
        assert world.redis.lrange(key, 0, -1).count(event) == 1, (event[:40], key)
    # What the refused transaction would have filed is not counted: once per run that filed it.
    assert world.log.count("redistransfer: 4 malformed events filed under the empty type. uid=0") == 1
    assert world.log.count("redistransfer: couldn't file 1 events under taken: WRONGTYPE") == 4


# Every event filed under a type, as a multiset; each under its own type and, in order, the later
# (higher flow_id) nearer the head.
def filed(world, in_order=True):
    out = collections.Counter()
    for key in set(world.redis.keys()) - {b"suricata", b"stats_report", b"lock:velstrand"}:
        texts = world.redis.lrange(key, 0, -1)
        docs = [json.loads(e) for e in texts]
        ids = [d["flow_id"] for d in docs if d["event_type"].encode() == key]
        assert len(ids) == len(docs) and (not in_order or ids == sorted(ids, reverse=True))
        out.update(texts)
    return out


# Writes numbered events at one end of the main list until stopped; notes which were stored, and
# which may or may not have been (no answer).
def produce(end, first, p):
    client, push = redis.Redis(socket_timeout=5), "lpush" if end == "head" else "rpush"
    while p["running"]:
        batch = events(10, tag="p", first=first)
        try:
            getattr(client, push)("suricata", *batch)
            p["stored"] += batch
        except redis.ResponseError:  # refused: not stored
            continue
        except redis.ConnectionError:
            p["uncertain"] += batch
        first += 10
        time.sleep(0.0005)


@pytest.mark.server(*AOF)
@pytest.mark.parametrize("end", ["head", "tail"])
@pytest.mark.parametrize("fault", ["none", "daemon-early", "daemon-late", "server", "refused", "consumer"])
def test_every_event_is_filed_exactly_once_in_order(world, fault, end):
    # Behind by an hour, the ends tell which is older. Without a fault the ends look alike, and the
    # first chunk may come from the producer's end: it must not be filed before the end is known.
    # Another client taking events at the oldest end looks like arrivals there.
    n = 100000 // SCALE
    backlog = events(n, tag="b", hours=-1 if fault != "none" else 0)
    rpush(world.redis, "suricata", backlog if end == "tail" else backlog[::-1])
    # A daemon whose server restarted mid-batch finds its own lock there until it expires.
    world.settings(lock_expiration_time=3)
    p = dict(running=True, stored=[], uncertain=[])
    producer = threading.Thread(target=produce, args=(end, n, p), daemon=True)  # ends with a failure
    producer.start()
    assert wait_until(lambda: p["stored"])  # the ends' timestamps differ from the start
    daemon = world.start("velstrand")
    if fault == "none":  # a run moves the whole backlog, and only it
        assert world.log.wait_for("lock lock:velstrand released")
        assert not [e for e in world.redis.lrange("suricata", 0, -1) if b'"tag":"b"' in e]
    else:
        assert wait_until(lambda: sum(map(world.redis.llen, TYPES)) >= (n // 2 if fault == "daemon-late" else 1))
    if fault.startswith("daemon"):
        os.kill(daemon, signal.SIGKILL)
        wait_exit(daemon)
        world.start("velstrand")
    elif fault == "server":
        world.server.kill()
        world.server.start()
        if wait_exit(daemon, 5) is not None:  # Redis was gone at the start of a cycle
            world.start("velstrand")
    elif fault == "refused":
        world.redis.config_set("maxmemory", 1)
        assert world.log.wait_for("redistransfer: transaction failed!")
        world.redis.config_set("maxmemory", 0)
    taken = []
    while fault == "consumer" and len(taken) < 200:  # another client takes from the oldest end
        taken.append((world.redis.rpop if end == "head" else world.redis.lpop)("suricata"))
        time.sleep(0.005)
    time.sleep(1)
    p["running"] = False
    producer.join()
    assert wait_until(lambda: world.redis.llen("suricata") == 0, 120), world.log.dump()
    held = filed(world, in_order=fault != "consumer")
    produced = collections.Counter(backlog + p["stored"]) - collections.Counter(taken)
    assert not produced - held, "lost"
    assert not held - produced - collections.Counter(p["uncertain"]), "doubled"
    assert max(held.values()) == 1


# The script that closes a chunk's transaction, on its own, against what no timing can promise:
# events arriving at the end the chunk was read from (copies of it, too), or taken away, between
# the read and EXEC.
SCRIPT = open(f"{os.path.dirname(__file__)}/../../src/jobs/fanout_script.h").read().split('R"lua(')[1].split(')lua"')[0]


@pytest.mark.parametrize("meanwhile,bounds,placed", [  # bounds: the most events and bytes before the chunk
    ("arrived", (3, 900), [3, 3, 1, 5]), ("arrived", (0, 900), [3, 3, 0, 0]), ("arrived", (3, 899), [3, 3, 0, 0]),
    ("copies", (3, 900), [0, 3, 1, 5]), ("taken", (3, 900), [-1, -1, 0, 0])],
    ids=["arrived", "arrived-end-unknown", "arrived-too-large", "copies", "taken"])
def test_a_chunk_is_removed_where_it_stands_or_its_filing_taken_back(world, meanwhile, bounds, placed):
    backlog = events(1, types=["alert"]) * 10 if meanwhile == "copies" else events(10, types=["alert"])
    arrived = backlog[:3] if meanwhile == "copies" else events(3, tag="new", types=["alert"], first=10)
    world.redis.rpush("suricata", *backlog)
    chunk = backlog[:5]  # read at the head
    world.redis.lpush("suricata", *arrived) if meanwhile != "taken" else world.redis.lpop("suricata")
    pipe = world.redis.pipeline()  # the chunk's transaction, as the job sends it
    pipe.lpush("alert", *chunk)
    pipe.eval(SCRIPT, 2, "suricata", "alert", "h", 10, 5, chunk[0], chunk[-1],
              b"".join(len(e).to_bytes(4, "little") for e in chunk), b"\x02\x00" * 5, *bounds)
    assert pipe.execute()[-1] == placed
    left = backlog[1:] if meanwhile == "taken" else arrived[::-1] + backlog[5 * placed[2]:]
    assert world.redis.lrange("suricata", 0, -1) == left
    assert world.redis.lrange("alert", 0, -1) == (chunk[::-1] if placed[2] else [])


def test_stop_keeps_whole_transactions_releases_the_lock_and_leaves_the_rest_in_order(world):
    backlog = events(300000 // SCALE)
    rpush(world.redis, "suricata", backlog)
    daemon = world.start("velstrand")
    assert wait_until(lambda: sum(map(world.redis.llen, TYPES)) > 0, step=0.001)
    os.kill(daemon, signal.SIGTERM)
    assert exit_code(wait_exit(daemon)) == 0
    assert world.log.count("velstrand: stop requested after batch") == 1
    moved = sum(map(world.redis.llen, TYPES))
    assert moved < len(backlog) and moved % 10000 == 0, moved  # chunks of 10000
    assert world.redis.info("commandstats")["cmdstat_ltrim"]["calls"] == moved // 10000  # none read in vain
    assert filed(world) == collections.Counter(backlog[:moved])
    assert world.redis.lrange("suricata", 0, -1) == backlog[moved:]
    assert not world.redis.exists("lock:velstrand")


# Documents that only jsoncpp reads (a surrogate escape) keep the job busy after reading its first
# chunk. Meanwhile the server closes the connection cleanly, and the job's next write meets a
# closed socket: EPIPE, which must not kill the daemon; or events arrive at the end it read, which
# an engine writing at the head (its ends alike) made look the oldest: that chunk is not filed.
@pytest.mark.parametrize("meanwhile", ["closed", "arrived"])
def test_while_the_job_sorts_its_first_chunk_a_closed_connection_fails_it_and_arrivals_turn_it_back(world, meanwhile):
    backlog = [e[:-1] + b',"emoji":"\\ud83d\\ude00","n":[' + b"1," * 8000 + b"1]}" for e in events(1600)]
    rpush(world.redis, "suricata", backlog if meanwhile == "closed" else backlog[::-1])
    world.start("velstrand")

    # The job's connection, the newest, once its first chunk (some MB, where the survey reads a
    # few events) has its answer handed over whole.
    def chunk_read():
        sent = world.redis.info("stats")["total_net_output_bytes"]
        job = max(world.redis.client_list(), key=lambda c: int(c["id"]))
        return sent > 4 << 20 and job["cmd"] in ("eval", "exec") and job["omem"] == "0" and [job["id"]]
    job = []
    assert wait_until(lambda: job.extend(chunk_read() or []) or job, step=0.001)
    if meanwhile == "closed":
        world.redis.client_kill_filter(_id=job[0])
        assert world.log.wait_for("redistransfer: transaction failed!")
    else:
        backlog += events(10, first=1600)
        world.redis.lpush("suricata", *backlog[1600:])
    assert world.log.wait_for("velstrand: lock lock:velstrand released", n=2)
    assert world.redis.llen("suricata") == 0 and filed(world) == collections.Counter(backlog)
    assert meanwhile == "closed" or not world.log.matching("transaction failed")  # reads on their way dropped


def test_a_chunk_is_bounded_in_bytes_whatever_the_events_sizes(world):
    backlog = events(1000, size=200) + events(100, size=1 << 20, first=1000)
    rpush(world.redis, "suricata", backlog, batch=100)
    daemon = world.start()
    assert world.log.wait_for("timings ms", timeout=120)
    hwm = int(re.search(r"VmHWM:\s+(\d+)", open(f"/proc/{daemon}/status").read())[1]) << 10
    assert SCALE > 1 or hwm < (64 << 20) + (1 << 20), hwm  # the sanitizer's own memory aside
    assert filed(world) == collections.Counter(backlog)


# An engine wrote alerts a second apart, then, at its shutdown, flows stamped with their start.
@pytest.mark.parametrize("end", ["head", "tail"])
def test_a_quiet_engine_is_read_from_its_oldest_end_though_flows_stand_at_its_newest(world, end):
    alerts = [events(1, types=["alert"], hours=(i - 100) / 3600, first=i)[0] for i in range(100)]
    flows = events(8, types=["flow"], hours=-1, first=100)
    (world.redis.rpush if end == "tail" else world.redis.lpush)("suricata", *alerts, *flows)
    world.run_test_build()
    assert filed(world) == collections.Counter(alerts + flows)
