#!/usr/bin/env python3
"""intent_app.py -- a link-protocol application server for the web-server tests: answers whose
shape the web server must leave alone, and answers cut short by a reset.

Usage: intent_app.py SIGNAL_DIR   (prints "listening on 127.0.0.1:PORT", serves until TERM)

  /sse?id=ID       an event stream: the event "first", then, once the file SIGNAL_DIR/ID.seen
                   exists (the client saw "first"), the event "last" saying so; after 30 s
                   without it, "last" says that the client saw nothing
  /whole           200 with a declared length, whatever Range the request asks for
  /partial         206 for "Range: bytes=2-5" (the application's own slicing), else 200
  /cut?at=AT&length=LENGTH&id=ID
                   a reset (zero linger, then close) at AT: "nothing" before any byte, "head"
                   after the head, "part" after 10000 bytes of the body; LENGTH "declared" sends
                   a Content-Length of 300000, "none" sends none. The reset waits until the
                   gateway has every byte sent, and until SIGNAL_DIR/ID.seen exists (the client
                   saw them) or 5 s have passed (a web server that collects the answer first)
"""

import fcntl
import os
import signal
import socket
import socketserver
import struct
import sys
import termios
import time
import urllib.parse

COOKIE = b"\x09\x23\x19\x63"
CONTENT_KEY = b"XBRENNOX_CONTENT_DATA"
MAX_KEYS = 10000
MAX_VARIABLE_BYTES = 1 << 20
MAX_BODY_BYTES = 1 << 20
WHOLE = b"".join(b"%04d\n" % i for i in range(200))  # 1000 bytes
CUT_DECLARED = 300000
CUT_PART = 10000


class Refused(Exception):
    pass


def read_exactly(sock, count):
    data = bytearray()
    while len(data) < count:
        chunk = sock.recv(min(count - len(data), 65536))
        if not chunk:
            raise Refused("truncated")
        data += chunk
    return bytes(data)


def read_number(sock):
    return struct.unpack("!I", read_exactly(sock, 4))[0]


def read_request(sock):
    """The variables (a dict of str, Latin-1) and the body, read by the framing, with limits."""
    if read_exactly(sock, 4) != COOKIE:
        raise Refused("bad-cookie")
    if read_number(sock) != 1:
        raise Refused("unsupported-version")
    read_number(sock)  # minor version: any
    keys = read_number(sock)
    if keys > MAX_KEYS:
        raise Refused("too-many-keys")
    if keys == 0:
        raise Refused("missing-content-key")
    variables, total = {}, 0
    for _ in range(keys - 1):
        name_length = read_number(sock)
        total += name_length
        if total > MAX_VARIABLE_BYTES:
            raise Refused("variables-too-large")
        name = read_exactly(sock, name_length)
        value_length = read_number(sock)
        total += value_length
        if total > MAX_VARIABLE_BYTES:
            raise Refused("variables-too-large")
        variables.setdefault(name.decode("latin-1"), read_exactly(sock, value_length)
                             .decode("latin-1"))
    if read_number(sock) != len(CONTENT_KEY) or read_exactly(sock, len(CONTENT_KEY)) != CONTENT_KEY:
        raise Refused("missing-content-key")
    body_length = read_number(sock)
    if body_length > MAX_BODY_BYTES:
        raise Refused("body-too-large")
    return variables, read_exactly(sock, body_length)


def head(status, headers):
    return ("Status: %s\r\n" % status + "".join("%s: %s\r\n" % h for h in headers) +
            "\r\n").encode("latin-1")


def wait_for_file(path, seconds):
    deadline = time.monotonic() + seconds
    while not os.path.exists(path) and time.monotonic() < deadline:
        time.sleep(0.02)
    return os.path.exists(path)


def reset_when_seen(sock, seen):
    """Resets once the peer has every byte sent so far (else the reset would drop the rest),
    and the client has seen them or 5 s have passed: what reaches the client is then exactly
    what was sent, whatever the machine's load."""
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        unsent = struct.unpack("i", fcntl.ioctl(sock.fileno(), termios.TIOCOUTQ, b"\0" * 4))[0]
        if unsent == 0:
            break
        time.sleep(0.01)
    if seen:
        wait_for_file(seen, 5)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    sock.close()


def seen_file(signal_dir, query):
    return os.path.join(signal_dir, os.path.basename(query.get("id", "none")) + ".seen")


def answer_sse(sock, query, signal_dir):
    sock.sendall(head("200 OK", [("Content-Type", "text/event-stream"),
                                 ("Cache-Control", "no-cache")]) +
                 b"event: first\ndata: 1\n\n")
    if wait_for_file(seen_file(signal_dir, query), 30):
        said = b"client-saw-first"
    else:
        said = b"client-saw-nothing-in-30s"
    sock.sendall(b"event: last\ndata: " + said + b"\n\n")


def answer(sock, variables, signal_dir):
    path = variables.get("PATH_INFO", "")
    query = dict(urllib.parse.parse_qsl(variables.get("QUERY_STRING", "")))
    if path == "/sse":
        return answer_sse(sock, query, signal_dir)
    if path == "/whole":
        return sock.sendall(head("200 OK", [("Content-Type", "text/plain"),
                                            ("Accept-Ranges", "bytes"),
                                            ("Content-Length", len(WHOLE))]) + WHOLE)
    if path == "/partial":
        if variables.get("HTTP_RANGE") == "bytes=2-5":
            return sock.sendall(head("206 Partial Content", [
                ("Content-Type", "text/plain"), ("Content-Range", "bytes 2-5/%d" % len(WHOLE)),
                ("Content-Length", 4)]) + WHOLE[2:6])
        return sock.sendall(head("200 OK", [("Content-Type", "text/plain")]) + WHOLE)
    if path == "/cut":
        at, length = query.get("at"), query.get("length")
        headers = [("Content-Type", "application/octet-stream")]
        if length == "declared":
            headers.append(("Content-Length", CUT_DECLARED))
        if at in ("head", "part"):
            sock.sendall(head("200 OK", headers) + (b"c" * CUT_PART if at == "part" else b""))
        return reset_when_seen(sock, seen_file(signal_dir, query) if at != "nothing" else None)
    sock.sendall(head("404 Not Found", [("Content-Type", "text/plain")]) + b"no such path\n")


class Handler(socketserver.BaseRequestHandler):
    def handle(self):
        self.request.settimeout(30)
        try:
            variables, _ = read_request(self.request)
        except (Refused, OSError) as error:
            print("refused %s: %s" % (self.client_address[0], error), file=sys.stderr, flush=True)
            return
        answer(self.request, variables, self.server.signal_dir)


class Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True


def main():
    server = Server(("127.0.0.1", 0), Handler)
    server.signal_dir = sys.argv[1]
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    print("listening on 127.0.0.1:%d" % server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
