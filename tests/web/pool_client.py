#!/usr/bin/env python3
"""pool_client.py -- load for the pool test: HTTP requests at a fixed concurrency, every response
checked byte for byte, every failure kept with what the client saw and when.

    pool_client.py URL CONCURRENCY MIN_REQUESTS STOP_FILE MAX_SECONDS REPORT

Sends requests to URL (the gateway's link path through the web server) from CONCURRENCY threads:
POSTs of random bodies to ?echo, and GETs of ?bytes=N. It goes on until it has sent at least
MIN_REQUESTS and STOP_FILE exists, or for MAX_SECONDS at most, then writes REPORT (JSON): the
count, and each failure with its start time, duration, status and a short reason.
"""

import http.client
import json
import os
import random
import sys
import threading
import time
import urllib.parse

PATTERN_PERIOD = 251 * 256
PATTERN = bytes((i * 7 + i // 251) & 0xFF for i in range(PATTERN_PERIOD))
TIMEOUT = 90  # seconds for one request: longer than any time-out of the pool, so a hang shows


def pattern(size):
    whole, rest = divmod(size, PATTERN_PERIOD)
    return PATTERN * whole + PATTERN[:rest]


def one_request(url, rng):
    """Sends one request; returns None when the response is right, else what was wrong."""
    parts = urllib.parse.urlsplit(url)
    connection = http.client.HTTPConnection(parts.hostname, parts.port, timeout=TIMEOUT)
    size = rng.choice((0, rng.randrange(1, 2048), rng.randrange(1, 262144)))
    try:
        if rng.random() < 0.5:
            expected = rng.randbytes(size)
            connection.request("POST", parts.path + "?echo", body=expected,
                               headers={"Content-Type": "application/octet-stream"})
        else:
            expected = pattern(size)
            connection.request("GET", "%s?bytes=%d" % (parts.path, size))
        response = connection.getresponse()
        body = response.read()
    except (OSError, http.client.HTTPException) as error:
        return {"status": None, "reason": "%s: %s" % (type(error).__name__, error)}
    finally:
        connection.close()
    if response.status != 200:
        return {"status": response.status, "reason": body[:120].decode("latin-1")}
    if body != expected:
        return {"status": 200, "reason": "body of %d bytes, %d expected" % (len(body), size)}
    return None


def main():
    url, concurrency, minimum, stop_file, max_seconds, report = sys.argv[1:7]
    concurrency, minimum, max_seconds = int(concurrency), int(minimum), float(max_seconds)
    started = time.time()
    lock = threading.Lock()
    state = {"sent": 0, "failures": []}

    def worker(seed):
        rng = random.Random(seed)
        while True:
            with lock:
                done = state["sent"] >= minimum and os.path.exists(stop_file)
                if done or time.time() - started > max_seconds:
                    return
                state["sent"] += 1
            begin = time.time()
            failure = one_request(url, rng)
            if failure is not None:
                failure.update(start=round(begin, 3), seconds=round(time.time() - begin, 3))
                with lock:
                    state["failures"].append(failure)

    threads = [threading.Thread(target=worker, args=(n,)) for n in range(concurrency)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    state["seconds"] = round(time.time() - started, 1)
    with open(report, "w") as out:
        json.dump(state, out, indent=1)


if __name__ == "__main__":
    main()
