# abnormal.py -- answers that end well and answers cut short, for the abnormal-end test; every
# process that imports it says so, so that a fork shows in the server's log.
import os
import signal
import sys
import time

BLOCK = bytes(range(256)) * 256  # 64 KiB
sys.stderr.write("abnormal app loaded in %d\n" % os.getpid())
sys.stderr.flush()


def app(environ, start_response):
    path = environ["PATH_INFO"]
    if path == "/whole":  # one block: the server declares its length
        start_response("200 OK", [("Content-Type", "application/octet-stream")])
        return [BLOCK * 5]
    if path == "/declared":  # the application's own length passes unchanged
        start_response("200 OK", [("Content-Length", str(len(BLOCK))), ("X-Mine", "1")])
        return iter([BLOCK[:1000], BLOCK[1000:]])
    if path == "/empty":
        start_response("204 No Content", [])
        return [b""]
    if path == "/stream":
        start_response("200 OK", [("Content-Type", "application/octet-stream")])
        return (BLOCK for _ in range(5))
    if path in ("/raises", "/exits", "/crashes", "/hangs"):
        start_response("200 OK", [("Content-Type", "application/octet-stream")])
        return _cut(path)
    start_response("200 OK", [("Content-Type", "text/plain")])
    return [b"ok"]


def _cut(path):
    sys.stderr.write("cutting %s\n" % path)
    sys.stderr.flush()
    yield BLOCK  # the head and the first bytes are on their way
    if path == "/raises":
        raise RuntimeError("failed after the first block")
    if path == "/crashes":
        os.kill(os.getpid(), signal.SIGKILL)
    if path == "/exits":
        os._exit(0)
    time.sleep(3600)  # "/hangs": past --timeout, or past the graceful stop's time
    yield BLOCK
