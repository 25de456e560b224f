# abnormal.py -- answers that end well and answers cut short, for the abnormal-end test; every
# process that imports it says so, so that a fork shows in the server's log.
import os
import signal
import sys
import time

BLOCK = bytes(range(256)) * 256  # 64 KiB
sys.stderr.write("abnormal app loaded in %d\n" % os.getpid())


def app(environ, start_response):
    path = environ["PATH_INFO"]
    headers = {"/declared": [("Content-Length", "65536"), ("X-Mine", "1")]}.get(path, [])
    start_response("204 No Content" if path == "/empty" else "200 OK", headers)
    if path in ("/raises", "/exits", "/crashes", "/hangs"):
        return _cut(path)
    return {"/whole": [BLOCK * 5],  # one block: the server declares its length
            "/declared": iter([BLOCK[:1000], BLOCK[1000:]]),
            "/empty": [b""],
            "/stream": (BLOCK for _ in range(5))}.get(path, [b"ok"])


def _cut(path):
    sys.stderr.write("cutting %s\n" % path)
    yield BLOCK  # the head and the first bytes are on their way
    if path == "/raises":
        raise RuntimeError("failed after the first block")
    if path == "/exits":
        os._exit(0)
    if path == "/crashes":
        os.kill(os.getpid(), signal.SIGKILL)
    time.sleep(3600)  # "/hangs": past --timeout, or past the graceful stop's time
