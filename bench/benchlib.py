# What both benchmarks share: RESP for redis-cli --pipe, and a client that measures how long
# Redis leaves a PING sent every 10 ms unanswered.
import threading
import time

import harness


def resp(*args):
    return b"*%d\r\n" % len(args) + b"".join(b"$%d\r\n%s\r\n" % (len(a), a) for a in args)


class Pinger(threading.Thread):
    def __init__(self):
        super().__init__(daemon=True)
        self.longest, self.running = 0.0, True
        self.start()

    def run(self):
        client, last = harness.redis.Redis(), time.monotonic()
        while self.running:
            client.ping()
            now = time.monotonic()
            self.longest, last = max(self.longest, now - last), now
            time.sleep(0.01)
