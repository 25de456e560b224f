# handler.py -- runs the application for one decoded request and writes its response.
import socket
import struct
import time

from . import log
from .environ import build_environ
from .response import FileWrapper, Response


class ConnectionLost(Exception):
    """The gateway's connection failed while the response was being sent."""


class _GuardedSocket:
    """The connection as the response writer sees it: a failure is ConnectionLost, never an
    application error."""

    def __init__(self, sock):
        self._sock = sock

    def sendall(self, data):
        try:
            self._sock.sendall(data)
        except OSError as error:
            raise ConnectionLost(str(error)) from error

    def sendfile(self, filelike, offset, count):
        try:
            return self._sock.sendfile(filelike, offset, count)
        except OSError as error:
            raise ConnectionLost(str(error)) from error


def reset(sock):
    """Closes with a reset, so the gateway reports a broken response instead of passing a
    truncated one for complete."""
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    except OSError:
        pass
    sock.close()


def handle(app, request, sock, peer, multithread, multiprocess):
    """Serves one request on sock and closes it; never raises for the application's faults."""
    started = time.monotonic()
    environ = build_environ(request, multithread, multiprocess)
    response = Response(_GuardedSocket(sock))
    broken = False
    try:
        result = None
        try:
            result = app(environ, response.start_response)
            if isinstance(result, FileWrapper):
                response.send_file(result)
            else:
                for chunk in result:
                    response.write(chunk)
                    if response.complete:
                        break
            response.finish()
        finally:
            close = getattr(result, "close", None)
            if close is not None:
                close()
    except ConnectionLost as error:
        broken = True
        log.error("%s: connection lost after %d body bytes of %s: %s"
                  % (peer, response.body_bytes, _request_line(environ), error))
    except Exception:
        if response.headers_sent:
            broken = True
            log.exception("%s: error after the response began (%d body bytes sent) in %s; "
                          "connection reset" % (peer, response.body_bytes,
                                                _request_line(environ)))
        else:
            log.exception("%s: error in the application for %s; answered 500"
                          % (peer, _request_line(environ)))
            try:
                response.send_error_page()
            except ConnectionLost:
                broken = True
    finally:
        request.body.close()
    if broken:
        reset(sock)
    else:
        sock.close()
    log.access(environ, response.status_code(), response.body_bytes, time.monotonic() - started)


def _request_line(environ):
    return "%s %s%s" % (environ.get("REQUEST_METHOD"), environ.get("SCRIPT_NAME", ""),
                        environ.get("PATH_INFO", ""))
