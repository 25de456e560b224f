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


# SO_LINGER on with no time: a close, or the death of the process holding the socket, resets the
# connection. Armed from the accept until the answer is whole, so that a worker killed by
# --timeout or at the end of the graceful stop, or one that crashes, even before the handler
# runs, shows the gateway a failed receive and never an orderly close: the gateway reports
# error 11 instead of passing a truncated or empty answer for whole.
_RESET_ON_CLOSE = struct.pack("ii", 1, 0)
_ORDERLY_CLOSE = struct.pack("ii", 0, 0)


def _linger(sock, value):
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, value)
    except OSError:
        pass  # not a TCP socket (the tests' socket pairs), or already broken


def arm_reset(sock):
    """Until the orderly close at the normal end, any close of sock is a reset."""
    _linger(sock, _RESET_ON_CLOSE)


def close_in_order(sock):
    """Closes sock with the orderly end that a whole answer, or a refusal, has."""
    _linger(sock, _ORDERLY_CLOSE)
    sock.close()


def handle(app, request, sock, peer, multithread, multiprocess):
    """Serves one request on sock and closes it; never raises for the application's faults.
    The caller arms sock with arm_reset() first, so that the process's death resets it."""
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
            elif _one_block(result) and not response.headers_sent:
                # The whole body is known at once (PEP 3333 lets a server declare its length):
                # a cut after the head then shows to the HTTP client too.
                for chunk in result:
                    response.write_whole(chunk, environ["REQUEST_METHOD"] == "HEAD")
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
        arm_reset(sock)  # armed already by the worker; handle() is also called on its own
        sock.close()
    else:
        close_in_order(sock)
    log.access(environ, response.status_code(), response.body_bytes, time.monotonic() - started)


def _one_block(result):
    try:
        return len(result) == 1
    except Exception:  # no len(), or a len() that fails: a stream like any other
        return False


def _request_line(environ):
    return "%s %s%s" % (environ.get("REQUEST_METHOD"), environ.get("SCRIPT_NAME", ""),
                        environ.get("PATH_INFO", ""))
