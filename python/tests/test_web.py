# test_web.py -- Flask and Django applications through the real gateway under lighttpd: what a
# browser does, a large upload and download, failures, reloads and stops under load.
import concurrent.futures
import hashlib
import http.cookiejar
import os
import re
import signal
import socket
import threading
import urllib.error
import urllib.parse
import urllib.request

from conftest import exchange, link_request, wait_for

PATTERN = bytes(range(256)) * 256


class _NoRedirect(urllib.request.HTTPRedirectHandler):
    def redirect_request(self, *args):
        return None


def client():
    """A browser of sorts: keeps cookies, does not follow redirects."""
    return urllib.request.build_opener(
        urllib.request.HTTPCookieProcessor(http.cookiejar.CookieJar()), _NoRedirect())


def fetch(opener, url, data=None, headers=None):
    """(status, headers, body) of one request."""
    request = urllib.request.Request(url, data, headers or {})
    try:
        with opener.open(request, timeout=60) as response:
            return response.status, response.headers, response.read()
    except urllib.error.HTTPError as error:
        return error.code, error.headers, error.read()


def multipart(fields, files):
    boundary = "----dostrel%s" % os.urandom(8).hex()
    parts = []
    for name, value in fields.items():
        parts.append(('--%s\r\nContent-Disposition: form-data; name="%s"\r\n\r\n%s\r\n'
                      % (boundary, name, value)).encode())
    for name, (filename, content) in files.items():
        parts.append(('--%s\r\nContent-Disposition: form-data; name="%s"; filename="%s"\r\n'
                      'Content-Type: application/octet-stream\r\n\r\n'
                      % (boundary, name, filename)).encode() + content + b"\r\n")
    body = b"".join(parts) + ("--%s--\r\n" % boundary).encode()
    return body, {"Content-Type": "multipart/form-data; boundary=" + boundary}


def peak_rss_kib(pid):
    with open("/proc/%d/status" % pid) as status:
        return int(re.search(r"VmHWM:\s+(\d+) kB", status.read()).group(1))


def check_browsing(web, server, framework):
    """What both frameworks must do alike behind the gateway's script name."""
    browser = client()
    status, _, body = fetch(browser, web.base + "/")
    assert status == 200 and b"href='/cgi-bin/dostrel/hello/world" in body, body
    assert fetch(browser, web.base + "/hello/you?q=a%20b")[2] == b"hello you q=a b"
    assert fetch(browser, web.base + "/hello/caf%C3%A9")[2] == "hello café q=".encode()
    form = {"a": "1", "b": "\u00fc ber"}
    token = re.search(rb"csrfmiddlewaretoken value='([^']+)'", body)
    if token:
        form["csrfmiddlewaretoken"] = token.group(1).decode()
        assert fetch(client(), web.base + "/form", b"a=1")[0] == 403, "CSRF without cookie"
    reply = fetch(browser, web.base + "/form", urllib.parse.urlencode(form).encode())
    assert reply[:1] == (200,) and reply[2] == "a=1|b=\u00fc ber".encode()
    counts = [fetch(browser, web.base + "/count")[2] for _ in range(3)]
    assert counts == [b"count 1", b"count 2", b"count 3"], "the session cookie goes round"
    assert fetch(client(), web.base + "/count")[2] == b"count 1"
    status, headers, _ = fetch(browser, web.base + "/go")
    assert status == 302 and headers["Location"].endswith("/cgi-bin/dostrel/hello/there")
    assert fetch(browser, web.base + "/no/such/page")[0] == 404
    status, _, body = fetch(browser, web.base + "/boom")
    assert status == 500 and b"secret" not in body, framework
    wait_for(lambda: "the secret reason" in server.log(), 5, "the traceback in the log")


def test_flask(start_server, start_web):
    server = start_server("flask_app:app", "--workers", "2", "--timeout", "3",
                          "--read-timeout", "20")
    web = start_web(server.port)
    check_browsing(web, server, "flask")
    browser = client()
    assert fetch(browser, web.base + "/caf%C3%A9/cr%C3%A8me")[2] == "café crème".encode()

    # A 1 MB upload arrives byte-exact.
    content = os.urandom(1 << 20)
    body, headers = multipart({"note": "n\u00f6te"}, {"file": ("blob.bin", content)})
    reply = fetch(browser, web.base + "/upload", body, headers)[2].decode()
    assert reply == "blob.bin %d %s n\u00f6te" % (len(content), hashlib.sha256(content).hexdigest())

    # A 50 MB response streams through a worker whose memory stays flat.
    server.wait_ready(2)
    before = {pid: peak_rss_kib(pid) for pid in server.workers()}
    digest = hashlib.sha256()
    size = 0
    with browser.open(web.base + "/stream/50", timeout=120) as response:
        while True:
            chunk = response.read(1 << 20)
            if not chunk:
                break
            digest.update(chunk)
            size += len(chunk)
    assert size == 50 << 20
    assert digest.digest() == hashlib.sha256(PATTERN * (50 * 16)).digest()
    growth = max(peak_rss_kib(pid) - rss for pid, rss in before.items())
    # A generous bound: a worker that held the answer would grow by its 50 MB.
    assert growth < 16 * 1024, "a worker's peak memory grew by %d KiB" % growth

    # Idle, bad and oversized link connections do not keep good requests waiting.
    idle = [socket.create_connection(("127.0.0.1", server.port)) for _ in range(6)]
    assert not exchange(server.port, b"\x00\x00\x00\x00\xff\xff\xff\xff")
    assert not exchange(server.port, link_request([])[:-4] + b"\xff\xff\xff\xff")
    for n in range(10):
        assert fetch(browser, web.base + "/hello/n%d" % n)[2] == b"hello n%d q=" % n
    for sock in idle:
        sock.close()
    assert "refused: bad-cookie" in server.log()
    assert "refused: body-too-large" in server.log()

    # --timeout: a request stuck past it is ended, and the server goes on.
    status, _, _ = fetch(browser, web.base + "/sleep/30.0")
    assert status >= 500
    assert "a request ran too long: killed" in server.log()
    assert fetch(browser, web.base + "/hello/again")[2] == b"hello again q="


def test_django(start_server, start_web):
    server = start_server("djangosite.wsgi:application", "--threads", "4")
    web = start_web(server.port)
    check_browsing(web, server, "django")


def test_reload_and_stop_under_load(start_server, start_web, workdir):
    module = os.path.join(workdir, "versioned.py")

    def write_version(number):
        with open(module, "w") as source:
            source.write("import time\nVERSION = %d\n"
                         "def app(environ, start_response):\n"
                         "    if environ['PATH_INFO'] == '/slow':\n"
                         "        time.sleep(1)\n"
                         "    start_response('200 OK', [('Content-Type', 'text/plain')])\n"
                         "    return [b'version %%d %%s' %% (VERSION, environ['PATH_INFO']"
                         ".encode())]\n" % number)
    write_version(1)
    server = start_server("versioned:app", "--chdir", workdir, "--workers", "2")
    web = start_web(server.port)
    seen = []
    failures = []

    def one(n):
        status, _, body = fetch(urllib.request.build_opener(), web.base + "/r%d" % n)
        match = re.fullmatch(rb"version (\d) /r%d" % n, body)
        if status != 200 or not match:
            failures.append((n, status, body[:200]))
        else:
            seen.append(int(match.group(1)))

    def reloads():
        for version in (2, 3):
            wait_for(lambda: len(seen) > 20 * (version - 1), 60, "requests")
            write_version(version)
            server.signal(signal.SIGHUP)
            wait_for(lambda: seen[-8:] == [version] * 8, 60, "version %d" % version)
    reloader = threading.Thread(target=reloads)
    reloader.start()
    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        list(pool.map(one, range(240)))
    reloader.join(60)
    assert not failures, failures
    assert set(seen) == {1, 2, 3} and seen[-1] == 3
    assert "refused" not in server.log()

    # SIGTERM with a request in flight: it is answered, then the server exits.
    replies = []
    slow = threading.Thread(target=lambda: replies.append(
        fetch(urllib.request.build_opener(), web.base + "/slow")))
    slow.start()
    threading.Event().wait(0.4)  # the request reaches the worker
    server.signal(signal.SIGTERM)
    slow.join(30)
    assert replies and replies[0][0] == 200 and replies[0][2] == b"version 3 /slow"
    assert server.process.wait(20) == 0
