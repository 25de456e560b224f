#!/usr/bin/env python3
"""intent_app.py -- a link-protocol application server for the web-server tests: answers whose
shape the web server must leave alone, and answers cut short by a reset.

Usage: intent_app.py SIGNAL_DIR   (prints "listening on 127.0.0.1:PORT", serves until TERM)

  /sse?id=ID       the event "first", then, once SIGNAL_DIR/ID.seen exists (the client saw it),
                   the event "last" saying so; after 30 s without it, that the client saw nothing
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

sys.dont_write_bytecode = True  # nothing left in the checkout
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "python"))
from dostrel_wsgi.link_request import Decoder, Refused  # noqa: E402 (the checkout's own)

WHOLE = b"".join(b"%04d\n" % i for i in range(200))  # 1000 bytes


def read_request(sock):
    """The variables (str, Latin-1; the first of a name counts), read with the protocol's limits."""
    decoder = Decoder()
    while not decoder.done:
        data = sock.recv(min(decoder.wanted(), 65536))
        if not data:
            decoder.end_of_stream()
        decoder.feed(data)
    decoder.request.body.close()
    return {name.decode("latin-1"): value.decode("latin-1")
            for name, value in reversed(decoder.request.variables)}


def head(status, *headers):
    return ("Status: %s\r\n" % status + "".join("%s: %s\r\n" % h for h in headers) +
            "\r\n").encode("latin-1")


def wait_for_file(path, seconds):
    deadline = time.monotonic() + seconds
    while not os.path.exists(path) and time.monotonic() < deadline:
        time.sleep(0.02)
    return os.path.exists(path)


def reset_when_seen(sock, seen):
    """Resets once the peer has every byte sent so far (else the reset would drop the rest), and
    the client has seen them or 5 s have passed: what reaches the client is then exactly what
    was sent, whatever the machine's load."""
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline and struct.unpack(
            "i", fcntl.ioctl(sock.fileno(), termios.TIOCOUTQ, b"\0" * 4))[0]:
        time.sleep(0.01)
    if seen:
        wait_for_file(seen, 5)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    sock.close()


def answer(sock, variables, signal_dir):
    path = variables.get("PATH_INFO", "")
    query = dict(urllib.parse.parse_qsl(variables.get("QUERY_STRING", "")))
    seen = os.path.join(signal_dir, os.path.basename(query.get("id", "none")) + ".seen")
    text = ("Content-Type", "text/plain")
    if path == "/sse":
        sock.sendall(head("200 OK", ("Content-Type", "text/event-stream"),
                          ("Cache-Control", "no-cache")) + b"event: first\ndata: 1\n\n")
        said = b"client-saw-first" if wait_for_file(seen, 30) else b"client-saw-nothing-in-30s"
        sock.sendall(b"event: last\ndata: " + said + b"\n\n")
    elif path == "/whole":
        sock.sendall(head("200 OK", text, ("Accept-Ranges", "bytes"),
                          ("Content-Length", len(WHOLE))) + WHOLE)
    elif path == "/partial" and variables.get("HTTP_RANGE") == "bytes=2-5":
        sock.sendall(head("206 Partial Content", text, ("Content-Length", 4),
                          ("Content-Range", "bytes 2-5/%d" % len(WHOLE))) + WHOLE[2:6])
    elif path == "/partial":
        sock.sendall(head("200 OK", text) + WHOLE)
    elif path == "/cut":
        headers = [("Content-Type", "application/octet-stream")]
        if query.get("length") == "declared":
            headers.append(("Content-Length", 300000))
        if query.get("at") in ("head", "part"):
            sock.sendall(head("200 OK", *headers) + b"c" * (10000 if query["at"] == "part" else 0))
        reset_when_seen(sock, seen if query.get("at") != "nothing" else None)
    else:
        sock.sendall(head("404 Not Found", text) + b"no such path\n")


class Handler(socketserver.BaseRequestHandler):
    def handle(self):
        self.request.settimeout(30)
        try:
            variables = read_request(self.request)
        except (Refused, OSError) as error:
            print("refused %s: %s" % (self.client_address[0], error), file=sys.stderr, flush=True)
            return
        answer(self.request, variables, self.server.signal_dir)


class Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True


if __name__ == "__main__":
    server = Server(("127.0.0.1", 0), Handler)
    server.signal_dir = sys.argv[1]
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    print("listening on 127.0.0.1:%d" % server.server_address[1], flush=True)
    server.serve_forever()
