# The fan-out through the real programs: where each event goes, and that every event is filed
# exactly once, in order, whichever end the engine writes to and whatever fails meanwhile.
import collections
import json
import os
import signal
import threading
import time

import pytest
import redis

from harness import events, exit_code, now_stamp, rpush, wait_exit, wait_until

SCALE = 5 if "ASAN_OPTIONS" in os.environ else 1  # the sanitizer build runs several times slower
AOF = ("--appendonly", "yes", "--appendfsync", "always", "--auto-aof-rewrite-percentage", "0")

FILING = [  # (event, the list it goes to; None: back to the main list)
    (b'{"event_type":"alert","n":1}', b"alert"), (b'{"event_type":7}', b"7"),
    (b'{"event_type":true}', b"true"), (b'{"n":2}', b""), (b'{"event_type":null}', b""),
    (b"null", b""), (b"not json", b""), (b"[1]", b""), (b'{"event_type":{"a":1}}', b""),
    (b"[" * 1000 + b"]" * 1000, b""), (b'{"event_type":"dns","x":"\x00"}', b"dns"),
    (b'{"event_type":"a\\u0000b"}', b"a\x00b"), (b'{"event_type":"big","x":"' + b"x" * 5000000 + b'"}', b"big"),
    (b'{"event_type":"taken"}', None), (b'{"event_type":"suricata"}', None),
]


def filed(world, check_order=True):
    """Every event filed under a type, as a multiset; each must sit under its own type, and with
    check_order the later (higher flow_id) nearer the head."""
    out = collections.Counter()
    for key in world.redis.keys():
        if key not in (b"suricata", b"stats_report", b"lock:velstrand"):
            texts = world.redis.lrange(key, 0, -1)
            docs = [json.loads(e) for e in texts]
            assert all(d["event_type"].encode() == key for d in docs)
            ids = [d["flow_id"] for d in docs]
            assert not check_order or ids == sorted(ids, reverse=True), key
            out.update(texts)
    return out


def test_each_event_goes_to_its_list_byte_for_byte(world):
    world.redis.set("taken", "a string")
    world.redis.rpush("suricata", *[e for e, _ in FILING])
    world.run_test_build()
    for event, key in FILING:
        held = world.redis.lrange(key, 0, -1) if key is not None else world.redis.lrange("suricata", 0, -1)
        assert held.count(event) == 1, (event[:40], key)
    assert world.log.count("redistransfer: 4 malformed events filed under the empty type. uid=0") == 1
    assert world.log.count("redistransfer: couldn't file 1 events under taken: WRONGTYPE") == 5


class Producer(threading.Thread):
    """Writes numbered events at one end of the main list; knows which were stored."""

    def __init__(self, end, first):
        super().__init__(daemon=True)
        self.push, self.next, self.running = ("lpush" if end == "head" else "rpush"), first, True
        self.stored, self.uncertain = [], []
        self.start()

    def run(self):
        client = redis.Redis(socket_timeout=5)
        while self.running:
            batch = events(10, tag="p", first=self.next)
            try:
                getattr(client, self.push)("suricata", *batch)
                self.stored += batch
                self.next += 10
            except redis.ResponseError:  # refused: not stored
                pass
            except redis.ConnectionError:
                self.uncertain += batch
                self.next += 10
            time.sleep(0.0005)


def count_filed(world):
    return sum(world.redis.llen(t) for t in ("alert", "dns", "http", "tls", "flow", "fileinfo", "anomaly"))


@pytest.mark.server(*AOF)
@pytest.mark.parametrize("end", ["head", "tail"])
@pytest.mark.parametrize("fault", ["none", "daemon-early", "daemon-late", "server", "refused",
                                   "consumer"])
def test_every_event_is_filed_exactly_once_in_order(world, fault, end):
    # Behind by an hour, the ends tell which is older. Without a fault the ends look alike, the
    # first chunk may come from the producer's end, and only its order may suffer; another client
    # taking events at the oldest end looks like arrivals there.
    n = 100000 // SCALE
    backlog = events(n, tag="b", stamp=now_stamp(-1 if fault != "none" else 0))
    (rpush if end == "tail" else lambda c, k, v: rpush(c, k, v[::-1]))(world.redis, "suricata", backlog)
    # A daemon whose server restarted mid-batch finds its own lock there until it expires.
    world.settings(lock_expiration_time=3)
    producer = Producer(end, n)
    assert wait_until(lambda: producer.stored)  # the ends' timestamps differ from the start
    daemon = world.start("velstrand")
    if fault == "none":  # a run moves the whole backlog, and only it
        assert world.log.wait_for("lock lock:velstrand released")
        assert not [e for e in world.redis.lrange("suricata", 0, -1) if b'"tag":"b"' in e]
    else:
        assert wait_until(lambda: count_filed(world) >= (n // 2 if fault == "daemon-late" else 1))
    if fault.startswith("daemon"):
        os.kill(daemon, signal.SIGKILL)
        wait_exit(daemon)
        daemon = world.start("velstrand")
    elif fault == "server":
        world.server.kill()
        world.server.start()
        if wait_exit(daemon, 5) is not None:  # Redis was gone at the start of a cycle
            daemon = world.start("velstrand")
    elif fault == "refused":
        world.redis.config_set("maxmemory", 1)
        assert world.log.wait_for("redistransfer: transaction failed!")
        world.redis.config_set("maxmemory", 0)
    taken = []
    while fault == "consumer" and len(taken) < 200:  # another client takes from the oldest end
        taken.append((world.redis.rpop if end == "head" else world.redis.lpop)("suricata"))
        time.sleep(0.005)
    time.sleep(1)
    producer.running = False
    producer.join()
    assert wait_until(lambda: world.redis.llen("suricata") == 0, 120), world.log.dump()
    held = filed(world, check_order=fault not in ("none", "consumer"))
    produced = collections.Counter(backlog + producer.stored) - collections.Counter(taken)
    assert not produced - held, "lost"
    assert not held - produced - collections.Counter(producer.uncertain), "doubled"
    assert max(held.values()) == 1


def test_copies_alike_at_both_ends_are_each_filed_once(world):
    same = events(1, tag="same")
    world.redis.rpush("suricata", *(same * (30000 // SCALE)))
    def produce():
        for _ in range(300):
            world.redis.lpush("suricata", *same * 10)
            time.sleep(0.001)
    producer = threading.Thread(target=produce)
    producer.start()
    world.start("velstrand")
    producer.join()
    assert wait_until(lambda: world.redis.llen("suricata") == 0, 60)
    assert world.redis.llen("alert") == 30000 // SCALE + 3000


def test_stop_keeps_whole_transactions_releases_the_lock_and_leaves_the_rest_in_order(world):
    backlog = events(300000 // SCALE)
    rpush(world.redis, "suricata", backlog)
    daemon = world.start("velstrand")
    assert wait_until(lambda: count_filed(world) > 0, step=0.001)
    os.kill(daemon, signal.SIGTERM)
    assert exit_code(wait_exit(daemon)) == 0
    assert world.log.count("velstrand: stop requested after batch") == 1
    moved = count_filed(world)
    assert moved < len(backlog) and (moved - 1000) % 10000 == 0, moved  # chunks of 1000, 10000
    assert filed(world) == collections.Counter(backlog[:moved])
    assert world.redis.lrange("suricata", 0, -1) == backlog[moved:]
    assert not world.redis.exists("lock:velstrand")


def test_server_closing_the_connection_mid_run_is_a_failed_transaction_not_a_dead_daemon(world):
    # Documents that only jsoncpp reads (a surrogate escape) keep the job busy after reading its
    # chunk; the server closes the connection cleanly meanwhile, and the job's next write meets a
    # closed socket: EPIPE, which must not kill the daemon.
    backlog = [e[:-1] + b',"emoji":"\\ud83d\\ude00","n":[' + b"1," * 8000 + b"1]}" for e in events(1000)]
    rpush(world.redis, "suricata", backlog)
    world.start("velstrand")

    def job_client(omem_fits):
        found = []
        assert wait_until(lambda: found.extend(c for c in world.redis.client_list() if c["cmd"] ==
                          "exec" and omem_fits(int(c["omem"]))) or found, step=0.001)
        return found[0]["id"]

    job_client(lambda omem: omem > 0)  # the chunk on its way to the job
    world.redis.client_kill_filter(_id=job_client(lambda omem: omem == 0))  # handed over whole
    assert world.log.wait_for("redistransfer: transaction failed!")
    assert world.log.wait_for("velstrand: lock lock:velstrand released", n=2)
    assert world.redis.llen("suricata") == 0 and filed(world) == collections.Counter(backlog)
