# worker.py -- one worker process: accepts connections, reads requests, serves the application.
"""A worker only serves. It reads every connection it holds with a selector until the request is
complete or refused, so an idle or stalled connection costs a slot, never the worker's time; a
complete request is then served in the loop itself (one thread) or by a bounded thread pool.
SIGTERM: take every connection still queued on the listening socket, stop accepting, finish
what is held, exit. SIGINT and SIGQUIT: exit at once.
"""

import collections
import concurrent.futures
import ipaddress
import os
import selectors
import signal
import socket
import struct
import threading
import time

from . import log
from .app_loader import load_app
from .handler import arm_reset, close_in_order, handle
from .link_request import Decoder, Refused

CHUNK = 65536
BOOT_ERROR = 3  # exit status: the application could not be loaded
_LISTENER = object()
_WAKE = object()


class _Pending:
    """A connection whose request is still arriving."""
    __slots__ = ("sock", "peer", "decoder", "deadline", "registered")

    def __init__(self, sock, peer, decoder, deadline):
        self.sock = sock
        self.peer = peer
        self.decoder = decoder
        self.deadline = deadline
        self.registered = False


def peer_name(address):
    host, port = address[0], address[1]
    return "[%s]:%d" % (host, port) if ":" in host else "%s:%d" % (host, port)


class Worker:
    def __init__(self, config, listener, app, heartbeat_fd, ready_fd, multiprocess):
        self.config = config
        self.listener = listener
        self.app = app  # a callable, or the MODULE:CALLABLE text to import after the fork
        self.heartbeat_fd = heartbeat_fd
        self.ready_fd = ready_fd
        self.multiprocess = multiprocess
        self.multithread = config.threads > 1
        self.selector = selectors.DefaultSelector()
        self.pending = {}  # socket -> _Pending
        self.ready = collections.deque()  # (request, socket, peer) waiting to be served
        self.lock = threading.Lock()
        self.in_flight = {}  # thread-served request id -> (wall-clock start, description)
        self.dispatched = 0  # handed to the pool and not finished
        self.stopping = False
        self.accepting = False
        self.last_beat = 0.0
        self.scratch = bytearray(CHUNK)
        self.pool = None
        self.wake_read, self.wake_write = os.pipe()

    # -- life cycle ---------------------------------------------------------------------------

    def run(self):
        """Serves until stopped; returns the exit status."""
        self._install_signals()
        self.beat(force=True)
        if not callable(self.app):
            try:
                self.app = load_app(self.app, self.config.chdir)
            except BaseException:
                log.exception("worker %d: cannot load the application %s"
                              % (os.getpid(), self.app))
                return BOOT_ERROR
        if self.multithread:
            self.pool = concurrent.futures.ThreadPoolExecutor(
                self.config.threads, thread_name_prefix="dostrel-wsgi")
        self.listener.setblocking(False)
        self.selector.register(self.wake_read, selectors.EVENT_READ, _WAKE)
        self._accept(True)
        os.write(self.ready_fd, struct.pack("!I", os.getpid()))
        while True:
            self.beat()
            events = self.selector.select(self._select_timeout())
            for key, _ in events:
                if key.data is _LISTENER:
                    self._accept_some(16)
                elif key.data is _WAKE:
                    self._drain_wake()
                else:
                    self._read(key.data)
            if self.pending:
                self._expire()
            if self.stopping and self.listener is not None:
                self._close_listener()
            while self.ready:
                self._serve(*self.ready.popleft())
            if self.listener is not None:
                self._accept(self._held() < self.config.worker_connections)
            # Only once the listener is drained and closed: a TERM that arrived while a
            # request was being served must still find the connections queued behind it.
            if self.stopping and self.listener is None and not self._held():
                break
        if self.pool is not None:
            self.pool.shutdown(wait=True)
        return 0

    def _install_signals(self):
        for number in (signal.SIGHUP, signal.SIGTTIN, signal.SIGTTOU, signal.SIGUSR1,
                       signal.SIGUSR2, signal.SIGWINCH):
            signal.signal(number, signal.SIG_IGN)
        signal.signal(signal.SIGCHLD, signal.SIG_DFL)
        signal.signal(signal.SIGTERM, self._on_term)
        signal.signal(signal.SIGINT, self._on_quit)
        signal.signal(signal.SIGQUIT, self._on_quit)
        os.set_blocking(self.wake_read, False)
        os.set_blocking(self.wake_write, False)
        signal.set_wakeup_fd(self.wake_write, warn_on_full_buffer=False)

    def _on_term(self, number, frame):
        self.stopping = True

    def _on_quit(self, number, frame):
        log.flush_stdio()
        os._exit(0)

    def beat(self, force=False):
        """Tells the arbiter the worker lives: the heartbeat file's time is now, or the start of
        the oldest request a thread is serving, so a stuck request ages it."""
        now = time.time()
        stamp = now
        if self.in_flight:
            with self.lock:
                if self.in_flight:
                    stamp = min(now, min(start for start, _ in self.in_flight.values()))
        if force or stamp != now or now - self.last_beat >= 1.0:
            os.utime(self.heartbeat_fd, (stamp, stamp))
            self.last_beat = now if stamp == now else 0.0

    def _select_timeout(self):
        timeout = 1.0
        if self.pending:
            soonest = min(p.deadline for p in self.pending.values())
            timeout = max(0.0, min(timeout, soonest - time.monotonic()))
        return timeout

    def _drain_wake(self):
        try:
            while os.read(self.wake_read, 4096):
                pass
        except BlockingIOError:
            pass

    def _held(self):
        return len(self.pending) + len(self.ready) + self.dispatched

    # -- accepting ----------------------------------------------------------------------------

    def _accept(self, wanted):
        if wanted and not self.accepting:
            self.selector.register(self.listener, selectors.EVENT_READ, _LISTENER)
        elif not wanted and self.accepting:
            self.selector.unregister(self.listener)
        self.accepting = wanted

    def _accept_some(self, most):
        """Accepts up to most connections (all that are queued when most is None)."""
        while most is None or most > 0:
            if most is not None:
                # One thread serves: a complete request waiting here is one another worker
                # could have taken, so leave the rest queued.
                if self._held() >= self.config.worker_connections or (
                        self.ready and self.pool is None):
                    return
                most -= 1
            try:
                sock, address = self.listener.accept()
            except (BlockingIOError, InterruptedError):
                return
            except OSError as error:
                # Out of descriptors or the like: the connection stays queued for later.
                log.error("accept failed: %s" % error)
                return
            self._take(sock, peer_name(address), address[0])

    def _close_listener(self):
        """Takes every connection already queued, then closes this worker's copy: closing a
        listener with connections in its queue would reset them."""
        self._accept_some(None)
        self._accept(False)
        self.listener.close()
        self.listener = None

    def _take(self, sock, peer, host):
        if self.config.allow and not _allowed(host, self.config.allow):
            log.error("%s: refused: not-allowed" % peer)
            sock.close()
            return
        # From here a close is a reset until the answer is whole (see handler.py): a worker
        # killed with this connection held must not pass an empty answer for a good one.
        arm_reset(sock)
        sock.setblocking(False)
        pending = _Pending(sock, peer, Decoder(self.config.limits),
                           time.monotonic() + self.config.read_timeout)
        self.pending[sock] = pending
        # The gateway sends its request right after connecting: it is often there already.
        self._read(pending)
        if sock in self.pending:
            self.selector.register(sock, selectors.EVENT_READ, pending)
            pending.registered = True

    # -- reading ------------------------------------------------------------------------------

    def _read(self, pending):
        sock, decoder = pending.sock, pending.decoder
        try:
            while True:
                wanted = decoder.wanted()
                if wanted >= CHUNK:
                    data = sock.recv(CHUNK)
                    if not data:
                        decoder.end_of_stream()
                    decoder.feed(data)
                else:
                    # Look first and take only what the request holds: nothing past its end.
                    data = sock.recv(CHUNK, socket.MSG_PEEK)
                    if not data:
                        decoder.end_of_stream()
                    self._discard(sock, decoder.feed(data))
                if decoder.done:
                    self._complete(pending)
                    return
                if len(data) < CHUNK:
                    return
        except (BlockingIOError, InterruptedError):
            return
        except Refused as refusal:
            self._refuse(pending, refusal.reason)
        except OSError:
            self._refuse(pending, "truncated")

    def _discard(self, sock, count):
        while count:
            count -= sock.recv_into(self.scratch, count)

    def _forget(self, pending):
        del self.pending[pending.sock]
        if pending.registered:
            self.selector.unregister(pending.sock)

    def _refuse(self, pending, reason):
        log.error("%s: refused: %s" % (pending.peer, reason))
        self._forget(pending)
        pending.decoder.close()
        close_in_order(pending.sock)

    def _complete(self, pending):
        self._forget(pending)
        pending.sock.setblocking(True)
        self.ready.append((pending.decoder.request, pending.sock, pending.peer))

    def _expire(self):
        now = time.monotonic()
        for pending in [p for p in self.pending.values() if p.deadline <= now]:
            self._refuse(pending, "timeout")

    # -- serving ------------------------------------------------------------------------------

    def _note(self, entries):
        """Writes what is being served, (start, description) pairs, into the heartbeat file:
        if the arbiter has to kill this worker, its log line names the requests it cut."""
        text = "".join("%.3f %s\n" % entry for entry in entries)
        try:
            # Ended by a NUL, not truncated: a truncation costs more than the request's writes.
            os.pwrite(self.heartbeat_fd, text.encode("utf-8", "backslashreplace") + b"\0", 0)
        except OSError:
            pass  # only the arbiter's log line loses detail

    def _note_in_flight(self):
        """_note for the threads, under the lock; the note made the file's time now, so it is
        set back to the oldest start."""
        entries = sorted(self.in_flight.values())
        self._note(entries)
        if entries:
            try:
                os.utime(self.heartbeat_fd, (entries[0][0], entries[0][0]))
            except OSError:
                pass

    def _serve(self, request, sock, peer):
        if self.pool is None:
            self._note([(time.time(), describe(request, peer))])
            self.beat(force=True)
            handle(self.app, request, sock, peer, self.multithread, self.multiprocess)
            self._note([])
            return
        with self.lock:
            self.dispatched += 1
        self.pool.submit(self._serve_in_thread, request, sock, peer)

    def _serve_in_thread(self, request, sock, peer):
        token = object()
        with self.lock:
            self.in_flight[token] = (time.time(), describe(request, peer))
            self._note_in_flight()
        try:
            handle(self.app, request, sock, peer, self.multithread, self.multiprocess)
        except BaseException:
            log.exception("%s: unexpected failure serving the request" % peer)
        finally:
            with self.lock:
                del self.in_flight[token]
                self._note_in_flight()
                self.dispatched -= 1
            try:
                os.write(self.wake_write, b"w")  # the loop may accept again, or exit
            except BlockingIOError:
                pass


def describe(request, peer):
    """"PEER METHOD URI" for the log line of a request the arbiter had to cut."""
    found = {}
    for name, value in request.variables:
        if name in (b"REQUEST_METHOD", b"REQUEST_URI", b"SCRIPT_NAME", b"PATH_INFO"):
            found.setdefault(name, value.decode("latin-1"))
    uri = found.get(b"REQUEST_URI") or found.get(b"SCRIPT_NAME", "") + found.get(b"PATH_INFO", "")
    # Escaped: the request's bytes are the client's, and this goes into a log line.
    return log.escape("%s %s %s" % (peer, found.get(b"REQUEST_METHOD", "-"), uri or "-"))


def _allowed(host, networks):
    try:
        address = ipaddress.ip_address(host.split("%")[0])
    except ValueError:
        return False
    if getattr(address, "ipv4_mapped", None):
        address = address.ipv4_mapped
    return any(address in network for network in networks)
