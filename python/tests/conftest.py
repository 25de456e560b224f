# conftest.py -- fixtures: the server under test as a process, the gateway under lighttpd, and a
# link-protocol client.
import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
APPS = os.path.join(HERE, "apps")
SOURCE = os.path.dirname(os.path.dirname(HERE))
VECTORS = os.path.join(SOURCE, "tests", "vectors")


def link_request(variables, body=b"", version=(1, 0)):
    """The bytes of a link request: variables as (name, value) bytes pairs."""
    def text(data):
        return struct.pack("!I", len(data)) + data
    out = b"\x09\x23\x19\x63" + struct.pack("!III", version[0], version[1], len(variables) + 1)
    for name, value in variables:
        out += text(name) + text(value)
    return out + text(b"XBRENNOX_CONTENT_DATA") + text(body)


def exchange(port, data, timeout=10):
    """Sends data on a new connection and returns all that comes back until the close; a reset
    reads as None."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as sock:
        received = b""
        try:
            sock.sendall(data)
            while True:
                chunk = sock.recv(65536)
                if not chunk:
                    return received
                received += chunk
        except (ConnectionResetError, BrokenPipeError):
            return None


def open_files(pid, prefix, suffix=""):
    """How many of process pid's descriptors name a file starting with prefix, ending with
    suffix ("socket:" for sockets)."""
    fds = "/proc/%d/fd/" % pid
    count = 0
    for fd in os.listdir(fds):
        try:
            name = os.readlink(fds + fd)
        except FileNotFoundError:
            continue  # closed meanwhile
        count += name.startswith(prefix) and name.endswith(suffix)
    return count


def cgi_variables(path="/", method="GET", query="", extra=()):
    return [(b"GATEWAY_INTERFACE", b"CGI/1.1"), (b"REQUEST_METHOD", method.encode()),
            (b"SCRIPT_NAME", b"/cgi-bin/dostrel"), (b"PATH_INFO", path.encode("latin-1")),
            (b"QUERY_STRING", query.encode()), (b"SERVER_NAME", b"localhost"),
            (b"SERVER_PORT", b"80"), (b"SERVER_PROTOCOL", b"HTTP/1.1"),
            (b"REMOTE_ADDR", b"127.0.0.1")] + list(extra)


def wait_for(predicate, seconds, what):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if predicate():
            return
        time.sleep(0.05)
    raise AssertionError("timed out waiting for " + what)


class Server:
    """A dostrel-wsgi process started from the tests' apps folder."""

    def __init__(self, app, options, directory):
        self.log_path = os.path.join(directory, "server-%d.log" % id(self))
        with open(self.log_path, "wb") as log:
            self.process = subprocess.Popen(
                [sys.executable, "-m", "dostrel_wsgi", "--bind", "127.0.0.1:0"] + options +
                [app], cwd=APPS, stdout=subprocess.PIPE, stderr=log, start_new_session=True,
                env=dict(os.environ, PYTHONDONTWRITEBYTECODE="1"))
        line = self.process.stdout.readline().decode()
        match = re.match(r"listening on 127\.0\.0\.1:(\d+)$", line.strip())
        if not match:
            self.stop()
            raise AssertionError("no listening line: %r\n%s" % (line, self.log()))
        self.port = int(match.group(1))

    def log(self):
        with open(self.log_path, encoding="utf-8", errors="replace") as log:
            return log.read()

    def workers(self):
        """The pids of the worker processes."""
        children = "/proc/%d/task/%d/children" % (self.process.pid, self.process.pid)
        try:
            with open(children) as listing:
                return [int(pid) for pid in listing.read().split()]
        except OSError:
            return []

    def wait_ready(self, count, seconds=20):
        wait_for(lambda: len(self.workers()) == count and self.request(b"/") is not None,
                 seconds, "%d workers" % count)

    def request(self, path=b"/", body=b"", method="GET"):
        return exchange(self.port, link_request(cgi_variables(path.decode("latin-1"), method),
                                                body))

    def signal(self, number):
        self.process.send_signal(number)

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(15)
            except subprocess.TimeoutExpired:
                os.killpg(self.process.pid, signal.SIGKILL)
                self.process.wait()
        try:
            os.killpg(self.process.pid, signal.SIGKILL)  # a worker left behind, if any
        except ProcessLookupError:
            pass
        self.process.stdout.close()


@pytest.fixture
def workdir():
    directory = tempfile.mkdtemp(prefix="dostrel-wsgi-test-")
    yield directory
    shutil.rmtree(directory, ignore_errors=True)


@pytest.fixture
def start_server(workdir):
    servers = []

    def start(app, *options):
        server = Server(app, list(options), workdir)
        servers.append(server)
        return server
    yield start
    for server in servers:
        server.stop()


def free_port():
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


class Web:
    """The gateway under lighttpd on 127.0.0.1, started by the shared web harness."""

    def __init__(self, build, root, app_port):
        self.process = subprocess.Popen(
            ["bash", os.path.join(SOURCE, "tests", "support", "web_gateway.sh"), build, root,
             str(app_port)], stdout=subprocess.PIPE)
        line = self.process.stdout.readline().decode()
        if not line.startswith("listening on "):
            raise AssertionError("lighttpd did not start")
        self.base = "http://%s/cgi-bin/dostrel" % line.split()[-1]

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            self.process.wait(10)


@pytest.fixture
def start_web(workdir):
    build = os.environ.get("DOSTREL_BUILD")
    if not build or not os.path.exists(os.path.join(build, "dostrel")):
        pytest.skip("DOSTREL_BUILD names no build of the gateway")
    lighttpd = shutil.which("lighttpd", path=os.environ.get("PATH", "") + ":/usr/sbin")
    if not lighttpd:
        pytest.skip("lighttpd is not installed")
    webs = []

    def start(app_port):
        web = Web(build, os.path.join(workdir, "web%d" % len(webs)), app_port)
        webs.append(web)
        return web
    yield start
    for web in webs:
        web.stop()
