#!/usr/bin/env python3
"""appserver_threads.py BUILD_DIR [SECONDS] [ROUNDS] -- dostrel-appserver's thread pool against
its process pool for a handler that waits 20 ms (as on a database): 1 worker x 8 threads and
8 workers x 1 thread, 8 and 16 clients playing the gateway over loopback, the two alternating for
ROUNDS rounds (3); prints each round and the median ratio.

    python3 bench/appserver_threads.py build [SECONDS] [ROUNDS]
"""

import os
import statistics
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from appserver_workers import measure  # noqa: E402

MODELS = (("8 workers x 1 thread", ["--workers", "8", "--threads", "1"]),
          ("1 worker x 8 threads", ["--workers", "1", "--threads", "8"]))


def main():
    build = sys.argv[1]
    seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 3
    rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 3
    for clients in (8, 16):
        rates = {label: [] for label, _ in MODELS}
        for round_number in range(rounds):
            for label, arguments in MODELS:
                rate = measure(build, arguments, b"delay=20&keys", clients, seconds)
                rates[label].append(rate)
                print("%2d clients, round %d, %-22s %6.0f req/s" % (clients, round_number + 1,
                                                                  label, rate), flush=True)
        processes = statistics.median(rates[MODELS[0][0]])
        threads = statistics.median(rates[MODELS[1][0]])
        print("%2d clients: median %0.f req/s with processes, %0.f with threads: %.2f x"
              % (clients, processes, threads, threads / processes), flush=True)


if __name__ == "__main__":
    main()
