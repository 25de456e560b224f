# test_server.py -- the server as a process, over raw link connections: refusals, stalled
# connections, time-outs, and what each signal does to the workers.
import os
import re
import signal
import socket
import tempfile
import threading
import time

import pytest

from conftest import SOURCE, cgi_variables, exchange, link_request, open_files, wait_for

ACCESS_LINE = re.compile(r'^127\.0\.0\.1 - - \[\d\d/\w{3}/\d{4}:\d\d:\d\d:\d\d [+-]\d{4}\] '
                         r'"GET /cgi-bin/dostrel/good\?n=\d+ HTTP/1\.1" 200 \d+ "-" "-" '
                         r'\d+\.\d{3}$', re.M)


def ok(reply, path="/"):
    return reply is not None and reply.startswith(b"Status: 200 OK\r\n") and \
        (" %s " % path).encode() in reply


def test_refusals_and_stalled_connections_beside_good_requests(start_server):
    server = start_server("basic:app", "--read-timeout", "2", "--max-body-bytes", "1000")
    idle = [socket.create_connection(("127.0.0.1", server.port)) for _ in range(4)]
    stalled = socket.create_connection(("127.0.0.1", server.port))
    stalled.sendall(link_request(cgi_variables())[:30])
    truncated = socket.create_connection(("127.0.0.1", server.port))
    truncated.sendall(link_request(cgi_variables())[:40])
    truncated.close()
    refused = {
        "bad-cookie": exchange(server.port, b"GET / HTTP/1.0\r\n\r\n"),
        "body-too-large": exchange(server.port, link_request(cgi_variables(), b"x" * 1001)),
        "unsupported-version": exchange(server.port, link_request([], version=(2, 0))),
    }
    assert not any(refused.values()), "a refusal writes no byte"
    # One worker holds five stalled connections and still answers every good request at once.
    for n in range(20):
        reply = exchange(server.port, link_request(cgi_variables("/good", query="n=%d" % n)))
        assert ok(reply, "/good")
    assert ok(exchange(server.port, link_request(cgi_variables(method="POST"), b"y" * 1000)))
    assert "timeout" not in server.log(), "the stalled connections outlived the good requests"
    for sock in idle + [stalled]:
        sock.settimeout(10)
        assert sock.recv(10) == b"", "a stalled connection is closed without a byte"
    log = server.log()
    for sock in idle + [stalled]:
        assert "127.0.0.1:%d: refused: timeout" % sock.getsockname()[1] in log
        sock.close()
    for reason in list(refused) + ["truncated"]:
        assert re.search(r"127\.0\.0\.1:\d+: refused: %s\n" % reason, log), reason
    assert len(ACCESS_LINE.findall(log)) == 20

    guarded = start_server("basic:app", "--allow", "192.0.2.1,10.0.0.0/8")
    assert not exchange(guarded.port, link_request(cgi_variables())), "no byte written"
    assert re.search(r"127\.0\.0\.1:\d+: refused: not-allowed", guarded.log())
    opened = start_server("basic:app", "--allow", "192.0.2.1,127.0.0.0/8")
    assert ok(exchange(opened.port, link_request(cgi_variables())))


@pytest.mark.parametrize("threads", ["1", "3"])
def test_timeout_ends_a_stuck_request_and_replaces_the_worker(start_server, threads):
    server = start_server("basic:app", "--timeout", "2", "--threads", threads)
    server.wait_ready(1)
    first = server.workers()
    replies = []
    stuck = threading.Thread(target=lambda: replies.append(
        exchange(server.port, link_request(cgi_variables("/stuck")), timeout=30)))
    stuck.start()
    if threads != "1":  # the other threads keep serving meanwhile
        assert ok(exchange(server.port, link_request(cgi_variables("/other"))), "/other")
    stuck.join(30)
    assert replies == [None], "the stuck request is ended by a reset"
    assert re.search(r"worker %d silent for [\d.]+s \(--timeout 2s\).*killed" % first[0],
                     server.log())
    wait_for(lambda: len(server.workers()) == 1 and server.workers() != first, 10,
             "a new worker")
    assert ok(exchange(server.port, link_request(cgi_variables("/after"))), "/after")


def test_signals(start_server, workdir):
    import os
    with open(os.path.join(workdir, "version.py"), "w") as module:
        module.write("from basic import app as inner\nVERSION = 1\n"
                     "def app(environ, start_response):\n"
                     "    return [b'v%d ' % VERSION + b''.join(inner(environ, start_response))]\n")
    apps = os.path.dirname(os.path.abspath(__file__)) + "/apps"
    server = start_server("version:app", "--chdir", workdir, "--workers", "2",
                          "--graceful-timeout", "10")
    os.symlink(apps + "/basic.py", os.path.join(workdir, "basic.py"))
    server.wait_ready(2)

    # TTIN / TTOU: one worker more, one fewer.
    server.signal(signal.SIGTTIN)
    wait_for(lambda: len(server.workers()) == 3, 10, "three workers")
    wait_for(lambda: all("worker %d ready" % pid in server.log() for pid in server.workers()),
             10, "three workers ready")
    # Each holds one unlinked temporary file, its own heartbeat.
    beats = [open_files(pid, tempfile.gettempdir(), " (deleted)") for pid in server.workers()]
    assert beats == [1, 1, 1], "only its own heartbeat"
    server.signal(signal.SIGTTOU)
    wait_for(lambda: len(server.workers()) == 2, 10, "two workers")
    # A worker that dies is replaced.
    victim = server.workers()[0]
    os.kill(victim, signal.SIGKILL)
    wait_for(lambda: len(server.workers()) == 2 and victim not in server.workers(), 10,
             "a replacement")
    wait_for(lambda: all("worker %d ready" % pid in server.log() for pid in server.workers()),
             10, "the replacement ready")
    # A reload whose code does not load keeps the old workers serving.
    before = set(server.workers())
    with open(os.path.join(workdir, "version.py"), "a") as module:
        module.write("this is not python\n")
    server.signal(signal.SIGHUP)
    wait_for(lambda: "reload failed" in server.log(), 20, "the failed reload")
    wait_for(lambda: set(server.workers()) == before, 10, "the failed workers gone")
    assert server.request().startswith(b"Status: 200 OK")

    # TERM: a request in flight and one queued behind it are both answered, then the end.
    replies = []
    threads = [threading.Thread(target=lambda: replies.append(server.request(b"/sleep", b"")))
               for _ in range(3)]
    for thread in threads:
        thread.start()
    time.sleep(0.3)  # two of them are being served, the third waits in the queue
    server.signal(signal.SIGTERM)
    for thread in threads:
        thread.join(20)
    assert len(replies) == 3 and all(reply and b"/sleep" in reply for reply in replies), \
        server.log()
    assert server.process.wait(20) == 0
    with pytest.raises(ConnectionRefusedError):
        exchange(server.port, link_request([]))


def test_the_guides_first_example_answers(start_server):
    """docs/python.md opens with examples/python/hello.py, served by its --chdir."""
    server = start_server("hello:app", "--chdir", os.path.join(SOURCE, "examples", "python"))
    reply = server.request(b"/hello")
    assert reply.startswith(b"Status: 200 OK\r\n")
    assert reply.endswith(b"\r\n\r\nHello from /hello\n")
