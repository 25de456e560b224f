# test_abnormal_ends.py -- every answer cut short reaches the real gateway as a reset, so that it
# reports error 11 and exits 1; whole answers still end with exit 0; a group SIGTERM forks nothing.
import os
import re
import signal
import socket
import subprocess
import threading
import time

import pytest

from conftest import cgi_variables, link_request, open_files, wait_for

ERROR_11 = re.compile(r"dostrel: error 11: Error receivng data on socket")


@pytest.fixture
def gateway(workdir):
    """Runs the gateway as a web server does for one request: (exit status, head, body, stderr)."""
    build = os.environ.get("DOSTREL_BUILD")
    if not build or not os.path.exists(os.path.join(build, "dostrel")):
        pytest.skip("DOSTREL_BUILD names no build of the gateway")

    def run(port, path, method="GET"):
        with open(os.path.join(workdir, "dostrel.cnf"), "w") as config:
            config.write("link * tcp 127.0.0.1 %d\n" % port)
        environment = {"GATEWAY_INTERFACE": "CGI/1.1", "REQUEST_METHOD": method,
                       "SCRIPT_NAME": "/cgi-bin/dostrel", "PATH_INFO": path,
                       "SERVER_PROTOCOL": "HTTP/1.1", "REMOTE_ADDR": "127.0.0.1"}
        started = time.monotonic()
        done = subprocess.run([os.path.join(build, "dostrel")], cwd=workdir, env=environment,
                              stdin=subprocess.DEVNULL, capture_output=True, timeout=120)
        print("%s %s: exit %d after %.2fs" % (method, path, done.returncode,
                                              time.monotonic() - started))
        head, _, body = done.stdout.partition(b"\r\n\r\n")
        return done.returncode, head.decode("latin-1").split("\r\n"), body, done.stderr.decode()
    return run


def lengths(head):
    return [line for line in head if line.lower().startswith("content-length:")]


def test_cut_answers_are_resets_and_whole_ones_complete(start_server, gateway):
    server = start_server("abnormal:app", "--threads", "2", "--timeout", "3",
                          "--graceful-timeout", "2")
    # Whole answers: exit 0, no error line, the length declared when the body came in one (the
    # web server drops a HEAD answer's body).
    for method, path, size, declared in (
            ("GET", "/whole", 327680, ["Content-Length: 327680"]),
            ("GET", "/declared", 65536, ["Content-Length: 65536"]), ("GET", "/stream", 327680, []),
            ("HEAD", "/whole", None, []), ("GET", "/empty", 0, [])):
        status, head, body, err = gateway(server.port, path, method)
        assert (status, err, lengths(head)) == (0, "", declared), (method, path)
        assert size is None or len(body) == size, (method, path, len(body))
        assert path != "/declared" or head[1:] == ["Content-Length: 65536", "X-Mine: 1"], head

    # Cut answers: the first 64 KiB reach the gateway, then the connection is reset.
    for path in ("/raises", "/exits", "/crashes", "/hangs"):
        status, head, body, err = gateway(server.port, path)
        assert status == 1 and ERROR_11.search(err), (path, status, err)
        assert head[0] == "Status: 200 OK" and len(body) >= 65536, path
        server.wait_ready(1)
    log = server.log()
    assert "failed after the first block" in log and "connection reset" in log
    assert re.search(r"\(--timeout 3s\), a request ran too long: killed; connection reset: "
                     r"127\.0\.0\.1:\d+ GET /cgi-bin/dostrel/hangs after [\d.]+s", log), log

    # The graceful stop's time runs out with an answer unfinished.
    results = []
    cut = threading.Thread(target=lambda: results.append(gateway(server.port, "/hangs")))
    cut.start()
    wait_for(lambda: server.log().count("cutting /hangs") == 2, 30, "the request in flight")
    server.signal(signal.SIGTERM)
    cut.join(60)
    assert results[0][0] == 1 and ERROR_11.search(results[0][3]), results
    assert server.process.wait(30) == 0
    assert re.search(r"did not finish within 2s: killed; connection reset: 127\.0\.0\.1:\d+ "
                     r"GET /cgi-bin/dostrel/hangs", server.log()), server.log()


def test_group_sigterm_forks_no_worker(start_server):
    for attempt in range(3):
        server = start_server("abnormal:app", "--workers", "3")
        wait_for(lambda: server.log().count(" ready\n") == 3, 20, "three workers ready")
        assert server.log().count("abnormal app loaded") == 3
        started = time.monotonic()
        os.killpg(server.process.pid, signal.SIGTERM)  # as a terminal's Ctrl-C, or systemd
        assert server.process.wait(30) == 0
        print("attempt %d: stopped in %.2fs" % (attempt, time.monotonic() - started))
        log = server.log()
        assert log.count("abnormal app loaded") == 3, log
        assert not re.search(r"replacing it|before it was ready|ended with|by signal", log), log


def test_worker_killed_before_its_handler_resets_the_connection(start_server):
    server = start_server("abnormal:app")
    server.wait_ready(1)
    worker = server.workers()[0]
    before = open_files(worker, "socket:")
    with socket.create_connection(("127.0.0.1", server.port), timeout=10) as sock:
        sock.sendall(link_request(cgi_variables())[:30])  # accepted, its request unfinished
        wait_for(lambda: open_files(worker, "socket:") > before, 10, "the worker to accept")
        os.kill(worker, signal.SIGKILL)
        with pytest.raises(ConnectionResetError):
            sock.recv(10)
