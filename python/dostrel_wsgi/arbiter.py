# arbiter.py -- the arbiter: holds the listening socket, keeps the workers alive, obeys signals.
"""The arbiter never serves and never imports the application: it forks workers that do.

TERM    graceful stop: workers take what is queued, finish it, exit (--graceful-timeout)
INT     fast stop (also QUIT)
HUP     new workers with freshly imported code; once they are ready the old ones stop
        gracefully. The listening socket stays open throughout, so nothing is refused.
TTIN    one worker more; TTOU one fewer
A worker that dies is replaced; one silent for longer than --timeout is killed first.
"""

import os
import resource
import selectors
import signal
import socket
import struct
import tempfile
import time

from . import log
from .worker import BOOT_ERROR, Worker

_HANDLED = (signal.SIGTERM, signal.SIGINT, signal.SIGQUIT, signal.SIGHUP, signal.SIGTTIN,
            signal.SIGTTOU, signal.SIGCHLD)
_STOPS = {signal.SIGTERM, signal.SIGINT, signal.SIGQUIT}
_FAST_STOP_SECONDS = 5.0


class _Child:
    """What the arbiter knows of one worker."""
    __slots__ = ("pid", "heartbeat", "generation", "started", "ready", "retiring", "kill_at",
                 "killed")

    def __init__(self, pid, heartbeat, generation):
        self.pid = pid
        self.heartbeat = heartbeat
        self.generation = generation
        self.started = time.monotonic()
        self.ready = False
        self.retiring = False
        self.kill_at = None
        self.killed = False


def raise_descriptor_limit(config):
    """Each connection a worker holds is a descriptor: lift the soft limit towards the hard one
    so that --worker-connections, not the usual 1024, is what bounds a worker."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    wanted = config.worker_connections + 64  # the listener, pipes, the application's files
    if soft != resource.RLIM_INFINITY and soft < wanted:
        new = wanted if hard == resource.RLIM_INFINITY else min(wanted, hard)
        try:
            resource.setrlimit(resource.RLIMIT_NOFILE, (new, hard))
        except (ValueError, OSError) as error:
            log.error("cannot raise the descriptor limit to %d: %s" % (new, error))


def bind(config):
    """The listening socket; TCP_NODELAY is inherited by every accepted connection."""
    family = socket.AF_INET6 if ":" in config.host else socket.AF_INET
    info = socket.getaddrinfo(config.host, config.port, family, socket.SOCK_STREAM)
    sock = socket.socket(family, socket.SOCK_STREAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    sock.bind(info[0][4])
    sock.listen(config.backlog)
    return sock


class Arbiter:
    def __init__(self, config, app):
        self.config = config
        self.app = app  # MODULE:CALLABLE text, or a callable (then a reload keeps it)
        self.target = config.workers
        self.generation = 1
        self.children = {}  # pid -> _Child
        self.signals = []
        self.stopping = None  # None, "graceful" or "fast"
        self.stop_deadline = None
        self.spawn_after = 0.0
        self.ever_ready = False
        self.exit_status = 0
        self.listener = None

    def run(self):
        """Serves until stopped; returns the process exit status."""
        raise_descriptor_limit(self.config)
        try:
            self.listener = bind(self.config)
        except OSError as error:
            log.error("cannot listen on %s:%d: %s" % (self.config.host, self.config.port, error))
            return 1
        host, port = self.listener.getsockname()[:2]
        print("listening on %s:%d" % ("[%s]" % host if ":" in host else host, port), flush=True)
        log.error("listening on %s:%d; %d worker(s) of %d thread(s) serving %s"
                  % (host, port, self.target, self.config.threads, _app_name(self.app)))
        self.signal_read, self.signal_write = os.pipe()
        self.ready_read, self.ready_write = os.pipe()
        for fd in (self.signal_read, self.signal_write, self.ready_read):
            os.set_blocking(fd, False)
        self.selector = selectors.DefaultSelector()
        self.selector.register(self.signal_read, selectors.EVENT_READ)
        self.selector.register(self.ready_read, selectors.EVENT_READ)
        self.ready_bytes = b""
        signal.set_wakeup_fd(self.signal_write, warn_on_full_buffer=False)
        for number in _HANDLED:
            signal.signal(number, self._on_signal)
        while True:
            # The stop signals wait while the arbiter looks at its workers and forks: a group
            # SIGTERM (Ctrl-C, systemd) ends the workers too, and a worker found dead must be
            # seen with the arbiter's own signal already taken, never replaced.
            signal.pthread_sigmask(signal.SIG_BLOCK, _STOPS)
            try:
                self._drain(self.signal_read)
                self._read_ready()
                for number in self._take_signals():
                    self._act(number)
                self._reap()
                self._check_timeouts()
                if self.stopping and not self.children:
                    break
                self._maintain()
            finally:
                # Unblocking runs the handlers of what arrived meanwhile.
                signal.pthread_sigmask(signal.SIG_UNBLOCK, _STOPS)
            self.selector.select(1.0)
        if self.listener is not None:
            self.listener.close()
        log.error("stopped")
        return self.exit_status

    # -- signals ------------------------------------------------------------------------------

    def _on_signal(self, number, frame):
        self.signals.append(number)

    def _drain(self, fd):
        try:
            while os.read(fd, 4096):
                pass
        except BlockingIOError:
            pass

    def _take_signals(self):
        taken, self.signals = self.signals, []
        return taken

    def _act(self, number):
        if number == signal.SIGCHLD:
            return  # reaped below in any case
        if number == signal.SIGTERM:
            self.stop("graceful")
        elif number in (signal.SIGINT, signal.SIGQUIT):
            self.stop("fast")
        elif self.stopping:
            return
        elif number == signal.SIGHUP:
            self.generation += 1
            log.error("reloading: starting %d new worker(s); the old ones stop once they "
                      "are ready" % self.target)
        elif number == signal.SIGTTIN:
            self.target += 1
            log.error("one worker more: %d" % self.target)
        elif number == signal.SIGTTOU and self.target > 1:
            self.target -= 1
            log.error("one worker fewer: %d" % self.target)

    def stop(self, how):
        if self.stopping == "fast" or self.stopping == how:
            return
        self.stopping = how
        if how == "graceful":
            self.stop_deadline = time.monotonic() + self.config.graceful_timeout
            log.error("stopping gracefully: workers finish what is queued and in flight")
            # The workers take what is queued before they close their copies; the last to
            # close leaves nothing behind to reset.
            for child in self.children.values():
                self._retire(child)
        else:
            self.stop_deadline = time.monotonic() + _FAST_STOP_SECONDS
            log.error("stopping now")
            for child in self.children.values():
                _kill(child.pid, signal.SIGQUIT)
        if self.listener is not None:
            self.listener.close()
            self.listener = None

    # -- workers ------------------------------------------------------------------------------

    def _maintain(self):
        if self.stopping:
            return
        current = [c for c in self.children.values()
                   if c.generation == self.generation and not c.retiring]
        missing = self.target - len(current)
        if missing > 0 and time.monotonic() >= self.spawn_after:
            for _ in range(missing):
                self._spawn()
        elif missing < 0:
            for child in sorted(current, key=lambda c: c.started)[:-missing]:
                self._retire(child)
        # A reload completes when the new generation is all ready: then the old ones go.
        ready = sum(1 for c in current if c.ready)
        if ready >= self.target:
            for child in list(self.children.values()):
                if child.generation < self.generation and not child.retiring:
                    self._retire(child)

    def _spawn(self):
        heartbeat = tempfile.TemporaryFile(prefix="dostrel-wsgi-beat-")
        pid = os.fork()
        if pid == 0:
            status = 1
            try:
                signal.set_wakeup_fd(-1)
                for number in _HANDLED:
                    signal.signal(number, signal.SIG_DFL)
                signal.pthread_sigmask(signal.SIG_UNBLOCK, _STOPS)
                for fd in (self.signal_read, self.signal_write, self.ready_read):
                    os.close(fd)
                # The siblings' heartbeats are theirs: a worker holds only its own.
                for sibling in self.children.values():
                    sibling.heartbeat.close()
                self.selector.close()
                worker = Worker(self.config, self.listener, self.app, heartbeat.fileno(),
                                self.ready_write, self.target > 1)
                status = worker.run()
            except BaseException:
                log.exception("worker %d failed" % os.getpid())
            finally:
                log.flush_stdio()
                os._exit(status)
        self.children[pid] = _Child(pid, heartbeat, self.generation)

    def _retire(self, child):
        if not child.retiring:
            child.retiring = True
            child.kill_at = time.monotonic() + self.config.graceful_timeout
            _kill(child.pid, signal.SIGTERM)

    def _read_ready(self):
        try:
            self.ready_bytes += os.read(self.ready_read, 4096)
        except BlockingIOError:
            return
        while len(self.ready_bytes) >= 4:
            (pid,) = struct.unpack("!I", self.ready_bytes[:4])
            self.ready_bytes = self.ready_bytes[4:]
            child = self.children.get(pid)
            if child is not None:
                child.ready = True
                self.ever_ready = True
                log.error("worker %d ready" % pid)

    def _reap(self):
        while True:
            try:
                pid, status = os.waitpid(-1, os.WNOHANG)
            except ChildProcessError:
                return
            if pid == 0:
                return
            child = self.children.pop(pid, None)
            if child is None:
                continue
            child.heartbeat.close()
            self._reaped(child, status)

    def _reaped(self, child, status):
        # A stop signal that arrived while blocked is pending still: it counts already.
        for number in sorted(_STOPS & signal.sigpending()):
            self._act(number)
        code = os.waitstatus_to_exitcode(status)
        how = "with status %d" % code if code >= 0 else "by signal %d" % -code
        if child.retiring or self.stopping:
            if code != 0:
                log.error("stopping worker %d ended %s" % (child.pid, how))
            return
        if child.ready:
            log.error("worker %d ended %s; replacing it" % (child.pid, how))
            if time.monotonic() - child.started < 1.0:
                self.spawn_after = time.monotonic() + 1.0  # no fork storm
            return
        # It never became ready: the application could not be loaded (or took too long).
        if not self.ever_ready:
            log.error("worker %d ended %s before it was ready: cannot start" % (child.pid, how))
            self.exit_status = BOOT_ERROR
            self.stop("fast")
            return
        if child.generation == self.generation and any(
                c.ready and c.generation < self.generation for c in self.children.values()):
            log.error("reload failed: new worker %d ended %s before it was ready; the old "
                      "workers keep serving" % (child.pid, how))
            self.generation -= 1
            for other in list(self.children.values()):
                if other.generation > self.generation:
                    self._retire(other)
            return
        log.error("worker %d ended %s before it was ready; trying again in a second"
                  % (child.pid, how))
        self.spawn_after = time.monotonic() + 1.0

    def _check_timeouts(self):
        now = time.monotonic()
        wall = time.time()
        for child in self.children.values():
            if child.killed:
                continue
            if child.kill_at is not None and now > child.kill_at:
                log.error("worker %d did not finish within %gs: killed%s"
                          % (child.pid, self.config.graceful_timeout, _cut(child, wall)))
            elif self.stopping == "fast" and now > self.stop_deadline:
                log.error("worker %d did not stop: killed%s" % (child.pid, _cut(child, wall)))
            else:
                try:
                    silent = wall - os.fstat(child.heartbeat.fileno()).st_mtime
                except OSError:
                    continue
                if silent <= self.config.timeout:
                    continue
                log.error("worker %d silent for %.1fs (--timeout %gs), a request ran too "
                          "long: killed%s" % (child.pid, silent, self.config.timeout,
                                              _cut(child, wall)))
            child.killed = True
            _kill(child.pid, signal.SIGKILL)


def _cut(child, wall):
    """"; connection reset: PEER METHOD URI after 31.2s, ..." for the requests the worker noted
    in its heartbeat file: killed with them, it resets their connections (see handler.py)."""
    try:
        text = os.pread(child.heartbeat.fileno(), 65536, 0).partition(b"\0")[0].decode(
            "utf-8", "replace")
    except OSError:
        return ""
    cuts = []
    for line in text.splitlines():
        start, _, description = line.partition(" ")
        try:
            cuts.append("%s after %.1fs" % (description, wall - float(start)))
        except ValueError:
            continue  # read while the worker rewrote it
    return "; connection reset: " + ", ".join(cuts) if cuts else ""


def _kill(pid, number):
    try:
        os.kill(pid, number)
    except ProcessLookupError:
        pass


def _app_name(app):
    return app if isinstance(app, str) else getattr(app, "__name__", repr(app))
