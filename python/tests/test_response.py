# test_response.py -- one request at a time through handle(): the environ, the response in CGI
# form, and the failures, with every application wrapped in wsgiref's validator.
import hashlib
import os
import socket
import threading
import warnings
from wsgiref.validate import validator

from conftest import cgi_variables, link_request
from dostrel_wsgi.handler import handle
from dostrel_wsgi.link_request import Decoder, Limits


def serve(app, variables=None, body=b"", spool_bytes=1 << 20, validate=True):
    """Runs app for one request; returns what the gateway would read (None after a reset)."""
    decoder = Decoder(Limits(spool_bytes=spool_bytes))
    decoder.feed(link_request(cgi_variables() if variables is None else variables, body))
    ours, theirs = socket.socketpair()
    received = []

    def read():
        data = b""
        try:
            while True:
                chunk = theirs.recv(65536)
                if not chunk:
                    break
                data += chunk
        except ConnectionResetError:
            data = None
        received.append(data)
    reader = threading.Thread(target=read)
    reader.start()
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # the validator's warnings fail the test
        handle(validator(app) if validate else app, decoder.request, ours, "test", True, False)
    reader.join(10)
    theirs.close()
    return received[0]


def test_environ_from_the_forwarded_variables():
    seen = {}

    def app(environ, start_response):
        seen.update(environ)
        stream = environ["wsgi.input"]
        seen["lines"] = [stream.readline(4), stream.readline(-1)] + stream.readlines()
        start_response("200 OK", [("Content-Type", "text/plain")])
        return [b"ok"]
    extra = [(b"HTTP_PROXY", b"http://evil"), (b"HTTP_CONTENT_LENGTH", b"99"),
             (b"HTTP_CONTENT_TYPE", b"x/y"), (b"CONTENT_LENGTH", b"1"), (b"HTTPS", b"on"),
             (b"HTTP_X_NAME", b"caf\xe9 \xff"), (b"HTTP_X_NAME", b"second")]
    body = b"line one\nline two\nthree"
    assert serve(app, cgi_variables("/caf\xc3\xa9", "POST", "a=1", extra), body) == \
        b"Status: 200 OK\r\nContent-Type: text/plain\r\n\r\nok"
    assert "HTTP_PROXY" not in seen and "HTTP_CONTENT_LENGTH" not in seen
    assert "HTTP_CONTENT_TYPE" not in seen
    assert seen["CONTENT_LENGTH"] == str(len(body)), "the body's length, not the variable's"
    assert seen["HTTP_X_NAME"] == "caf\xe9 \xff", "latin-1 native strings, the first kept"
    assert seen["PATH_INFO"].encode("latin-1").decode("utf-8") == "/caf\xe9"
    assert seen["wsgi.url_scheme"] == "https" and seen["QUERY_STRING"] == "a=1"
    assert seen["lines"] == [b"line", b" one\n", b"line two\n", b"three"]
    assert seen["wsgi.multithread"] is True and seen["wsgi.multiprocess"] is False
    assert seen["wsgi.run_once"] is False and seen["wsgi.version"] == (1, 0)
    # Iteration and read(size) over a body spilled to a file.
    chunks = []

    def reader(environ, start_response):
        chunks.extend(environ["wsgi.input"])
        start_response("204 No Content", [])
        return []
    big = os.urandom(100000) + b"\n" + os.urandom(1000)
    assert serve(reader, cgi_variables(method="POST"), big, spool_bytes=10) == \
        b"Status: 204 No Content\r\n\r\n"
    assert b"".join(chunks) == big


def test_response_forms(tmp_path):
    closed = []

    class Body:
        def __init__(self, chunks):
            self.chunks = chunks

        def __iter__(self):
            return iter(self.chunks)

        def close(self):
            closed.append(True)

    def streaming(environ, start_response):
        write = start_response("201 Created", [("Content-Type", "text/plain"),
                                               ("Set-Cookie", "a=1"), ("Set-Cookie", "b=2")])
        write(b"written ")
        return Body([b"", b"first ", b"", b"last"])
    assert serve(streaming) == (b"Status: 201 Created\r\nContent-Type: text/plain\r\n"
                                b"Set-Cookie: a=1\r\nSet-Cookie: b=2\r\n\r\n"
                                b"written first last")

    def limited(environ, start_response):
        start_response("200 OK", [("Content-Length", "5")])
        return Body([b"abc", b"defgh", b"never"])
    assert serve(limited, validate=False).endswith(b"\r\n\r\nabcde")

    def empty(environ, start_response):
        start_response("304 Not Modified", [("ETag", '"x"')])
        return Body([b"", b""])
    assert serve(empty) == b'Status: 304 Not Modified\r\nETag: "x"\r\n\r\n'
    assert closed == [True, True, True], "close() is called on every iterable"

    # wsgi.file_wrapper: a regular file goes by sendfile, from its current offset.
    content = os.urandom(300000)
    blob = tmp_path / "blob"
    blob.write_bytes(content)

    def sendfile(environ, start_response):
        stream = open(blob, "rb")
        stream.seek(1000)
        start_response("200 OK", [("Content-Type", "application/octet-stream")])
        return environ["wsgi.file_wrapper"](stream, 8192)
    reply = serve(sendfile, validate=False)
    _, _, body = reply.partition(b"\r\n\r\n")
    assert hashlib.sha256(body).digest() == hashlib.sha256(content[1000:]).digest()


def test_failures_before_and_after_the_head(capfd):
    def fails_early(environ, start_response):
        start_response("200 OK", [("Content-Type", "text/plain")])
        raise RuntimeError("secret detail")
    reply = serve(fails_early)
    assert reply.startswith(b"Status: 500 Internal Server Error\r\n")
    assert b"secret" not in reply
    log = capfd.readouterr().err
    assert "RuntimeError: secret detail" in log and "answered 500" in log

    def recovers(environ, start_response):
        start_response("200 OK", [("Content-Type", "text/plain")])
        try:
            raise KeyError("x")
        except KeyError:
            import sys
            start_response("503 Service Unavailable", [("Content-Type", "text/html")],
                           sys.exc_info())
        return [b"sorry"]
    assert serve(recovers) == (
        b"Status: 503 Service Unavailable\r\nContent-Type: text/html\r\n\r\nsorry")

    def fails_late(environ, start_response):
        start_response("200 OK", [("Content-Type", "text/plain")])
        yield b"part"
        try:
            raise ValueError("late")
        except ValueError:
            import sys
            # Re-raises: the head is already sent.
            start_response("500 Error", [("Content-Type", "text/plain")], sys.exc_info())
    assert serve(fails_late) in (
        None, b"Status: 200 OK\r\nContent-Type: text/plain\r\n\r\npart")
    log = capfd.readouterr().err
    assert "ValueError: late" in log and "connection reset" in log

    for headers in ([("X-Bad", "a\r\nInjected: 1")], [("Bad Name", "v")], [("X", 1)]):
        def bad(environ, start_response, headers=headers):
            start_response("200 OK", headers)
            return [b"never"]
        reply = serve(bad, validate=False)
        assert reply.startswith(b"Status: 500 ") and b"Injected" not in reply

    def twice(environ, start_response):
        start_response("200 OK", [])
        start_response("200 OK", [])
        return [b""]
    assert serve(twice, validate=False).startswith(b"Status: 500 ")
    assert "start_response called again" in capfd.readouterr().err

    def gone(environ, start_response):
        start_response("200 OK", [])
        return [b"x" * 1000000]
    closed, theirs = socket.socketpair()
    theirs.close()
    decoder = Decoder()
    decoder.feed(link_request(cgi_variables()))
    handle(gone, decoder.request, closed, "peer", False, False)
    assert "connection lost" in capfd.readouterr().err
