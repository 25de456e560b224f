#!/usr/bin/env python3
"""appserver_workers.py BUILD_DIR -- requests per second of dostrel-appserver with its worker
models side by side: one process serving in turn (--serial) and pools of worker processes, for
a request answered at once and for one whose handler waits 20 ms (as on a database). Clients
play the gateway directly over loopback, so the figures are the server's own.

    python3 bench/appserver_workers.py build [SECONDS]
"""

import socket
import struct
import subprocess
import sys
import threading
import time

COOKIE = b"\x09\x23\x19\x63"


def text(data):
    return struct.pack(">I", len(data)) + data


def request(query):
    keys = [(b"QUERY_STRING", query), (b"PATH_INFO", b"/bench")]
    out = COOKIE + struct.pack(">III", 1, 0, len(keys) + 1)
    for name, value in keys:
        out += text(name) + text(value)
    return out + text(b"XBRENNOX_CONTENT_DATA") + text(b"")


def client(port, payload, stop, counts, index):
    while not stop.is_set():
        with socket.create_connection(("127.0.0.1", port)) as connection:
            connection.sendall(payload)
            answer = b""
            while True:
                chunk = connection.recv(65536)
                if not chunk:
                    break
                answer += chunk
        if b"X-Appserver: bench" not in answer:
            sys.exit("a wrong answer: %r" % answer[:200])
        counts[index] += 1


def measure(build, arguments, query, clients, seconds):
    server = subprocess.Popen([build + "/dostrel-appserver", "--port", "0", "--name", "bench"]
                              + arguments, stdout=subprocess.PIPE, text=True)
    try:
        port = int(server.stdout.readline().rsplit(":", 1)[1])
        stop = threading.Event()
        counts = [0] * clients
        threads = [threading.Thread(target=client, args=(port, request(query), stop, counts, i))
                   for i in range(clients)]
        for thread in threads:
            thread.start()
        time.sleep(seconds)
        stop.set()
        for thread in threads:
            thread.join()
        return sum(counts) / seconds
    finally:
        server.terminate()
        server.wait(30)


def main():
    build = sys.argv[1]
    seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 3
    print("%-26s %-12s %8s" % ("server", "handler", "req/s"))
    for label, arguments in (("--serial", ["--serial"]), ("--workers 1", ["--workers", "1"]),
                             ("--workers 2", ["--workers", "2"]),
                             ("--workers 8", ["--workers", "8"])):
        for handler, query in (("immediate", b"keys"), ("waits 20 ms", b"delay=20&keys")):
            rate = measure(build, arguments, query, 8, seconds)
            print("%-26s %-12s %8.0f" % (label, handler, rate), flush=True)


if __name__ == "__main__":
    main()
