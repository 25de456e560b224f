# config.py -- the command line: every option, its default and its check, into one Config.
import argparse
import dataclasses
import ipaddress

from .link_request import Limits

DEFAULT_BIND = "127.0.0.1:9000"


@dataclasses.dataclass
class Config:
    app: str = ""  # MODULE:CALLABLE, imported by each worker
    host: str = "127.0.0.1"
    port: int = 9000
    workers: int = 1
    threads: int = 1
    read_timeout: float = 30.0
    timeout: float = 30.0
    graceful_timeout: float = 30.0
    allow: tuple = ()  # ip_network objects; empty: every peer
    limits: Limits = dataclasses.field(default_factory=Limits)
    worker_connections: int = 1000
    backlog: int = 1024
    access_log: str = "-"
    chdir: str = ""


def parse_bind(text):
    """HOST:PORT, [IPV6]:PORT or PORT alone; returns (host, port)."""
    host, colon, port = text.rpartition(":")
    if not colon:
        host = "127.0.0.1"
    if host.startswith("[") and host.endswith("]"):
        host = host[1:-1]
    if not port.isdigit() or int(port) > 65535 or not host:
        raise argparse.ArgumentTypeError("%r is not HOST:PORT" % text)
    return host, int(port)


def parse_allow(text):
    """ADDRESS[/BITS],... into networks; a bare address is a network of one."""
    networks = []
    for item in text.split(","):
        if item.strip():
            try:
                networks.append(ipaddress.ip_network(item.strip(), strict=False))
            except ValueError:
                raise argparse.ArgumentTypeError("%r is not an address or network" % item)
    return tuple(networks)


def _count(minimum):
    def parse(text):
        try:
            value = int(text)
        except ValueError:
            value = minimum - 1
        if value < minimum:
            raise argparse.ArgumentTypeError("%r is not a whole number of at least %d"
                                             % (text, minimum))
        return value
    return parse


def _seconds(text):
    try:
        value = float(text)
    except ValueError:
        value = -1.0
    if not value > 0:
        raise argparse.ArgumentTypeError("%r is not a positive number of seconds" % text)
    return value


def build_parser():
    limits = Limits()
    parser = argparse.ArgumentParser(
        prog="dostrel-wsgi",
        description="Serve a WSGI application to the dostrel gateway over the link protocol.")
    add = parser.add_argument
    add("app", metavar="MODULE:CALLABLE",
        help="the WSGI application, e.g. mysite.wsgi:application (CALLABLE defaults to app)")
    add("--bind", type=parse_bind, default=parse_bind(DEFAULT_BIND), metavar="HOST:PORT",
        help="address to listen on (default %s; port 0 picks a free port)" % DEFAULT_BIND)
    add("--workers", type=_count(1), default=1, metavar="N",
        help="worker processes (default 1)")
    add("--threads", type=_count(1), default=1, metavar="N",
        help="threads per worker serving requests (default 1)")
    add("--read-timeout", type=_seconds, default=30.0, metavar="S",
        help="time for a whole request to arrive, from the accept (default 30)")
    add("--timeout", type=_seconds, default=30.0, metavar="S",
        help="a worker busy with one request for longer is killed and replaced (default 30)")
    add("--graceful-timeout", type=_seconds, default=30.0, metavar="S",
        help="time given to workers to finish on SIGTERM or reload (default 30)")
    add("--allow", type=parse_allow, default=(), metavar="ADDRESS,...",
        help="peers allowed to connect (addresses or networks); default: any")
    add("--max-keys", type=_count(1), default=limits.max_keys, metavar="N",
        help="most keys in a request, the content key included (default %d)" % limits.max_keys)
    add("--max-variable-bytes", type=_count(0), default=limits.max_variable_bytes,
        metavar="N", help="most bytes of variable names and values together (default %d)"
        % limits.max_variable_bytes)
    add("--max-body-bytes", type=_count(0), default=limits.max_body_bytes, metavar="N",
        help="largest request body (default %d)" % limits.max_body_bytes)
    add("--spool-bytes", type=_count(0), default=limits.spool_bytes, metavar="N",
        help="bodies longer than this go to a temporary file (default %d)"
        % limits.spool_bytes)
    add("--worker-connections", type=_count(1), default=1000, metavar="N",
        help="most connections one worker holds at once, read or served (default 100)")
    add("--backlog", type=_count(1), default=1024, metavar="N",
        help="connections the listening socket queues (default 1024)")
    add("--access-log", default="-", metavar="FILE",
        help="access log file; '-' standard error (default), 'off' none")
    add("--chdir", default="", metavar="DIR",
        help="change to DIR before loading the application")
    return parser


def parse_args(argv):
    options = build_parser().parse_args(argv)
    host, port = options.bind
    return Config(
        app=options.app, host=host, port=port, workers=options.workers,
        threads=options.threads, read_timeout=options.read_timeout, timeout=options.timeout,
        graceful_timeout=options.graceful_timeout, allow=options.allow,
        limits=Limits(options.max_keys, options.max_variable_bytes, options.max_body_bytes,
                      options.spool_bytes),
        worker_connections=options.worker_connections, backlog=options.backlog,
        access_log=options.access_log, chdir=options.chdir)
