# environ.py -- the WSGI environ of one request, made from the variables the gateway forwarded.
import sys

from .response import FileWrapper

# Never handed to the application: the body's length and type are CONTENT_LENGTH and
# CONTENT_TYPE, and a client's "Proxy:" header must not pass for proxy settings (httpoxy).
DROPPED = frozenset(("HTTP_CONTENT_LENGTH", "HTTP_CONTENT_TYPE", "HTTP_PROXY"))

# What PEP 3333 requires and a bare link request may lack.
_DEFAULTS = (("REQUEST_METHOD", "GET"), ("SCRIPT_NAME", ""), ("PATH_INFO", ""),
             ("QUERY_STRING", ""), ("SERVER_PROTOCOL", "HTTP/1.0"))


def build_environ(request, multithread, multiprocess, errors=None):
    """The environ for a decoded LinkRequest: every variable as a latin-1 native string."""
    environ = {}
    for name, value in request.variables:
        key = name.decode("latin-1")
        # A repeated name keeps its first value, as getenv() would find it.
        if key not in environ and key not in DROPPED:
            environ[key] = value.decode("latin-1")
    for key, value in _DEFAULTS:
        environ.setdefault(key, value)
    split = split_request_uri(environ.get("REQUEST_URI", ""), environ["PATH_INFO"])
    if split is not None:
        # The public prefix, decoded as PATH_INFO is: links built from SCRIPT_NAME are the ones
        # the client used, also where the web server rewrote the whole site to the gateway.
        environ["SCRIPT_NAME"] = split[1]
    # Paths start with "/" or are empty; a SCRIPT_NAME of "/" is the empty one.
    script_name = environ["SCRIPT_NAME"].rstrip("/")
    if script_name and not script_name.startswith("/"):
        script_name = "/" + script_name
    environ["SCRIPT_NAME"] = script_name
    if environ["PATH_INFO"] and not environ["PATH_INFO"].startswith("/"):
        environ["PATH_INFO"] = "/" + environ["PATH_INFO"]
    # The body is what the content key carried, whatever the variables claimed.
    if request.body_length or "CONTENT_LENGTH" in environ:
        environ["CONTENT_LENGTH"] = str(request.body_length)
    https = environ.get("HTTPS", "").lower() in ("on", "1")
    environ.setdefault("SERVER_NAME", _host_name(environ.get("HTTP_HOST", "")))
    environ.setdefault("SERVER_PORT", "443" if https else "80")
    environ["wsgi.version"] = (1, 0)
    environ["wsgi.url_scheme"] = "https" if https else "http"
    environ["wsgi.input"] = request.body
    environ["wsgi.errors"] = errors or sys.stderr
    environ["wsgi.multithread"] = multithread
    environ["wsgi.multiprocess"] = multiprocess
    environ["wsgi.run_once"] = False
    environ["wsgi.file_wrapper"] = FileWrapper
    return environ


_HEX = frozenset("0123456789ABCDEFabcdef")


def split_request_uri(request_uri, path_info):
    """REQUEST_URI's path around what PATH_INFO names: (raw prefix, decoded prefix, raw tail),
    the tail being the shortest end of the raw path whose percent-decoding is PATH_INFO byte for
    byte. None where REQUEST_URI is no path or does not end in PATH_INFO (a web server that
    normalised the path). Strings are latin-1, one character a byte."""
    raw = request_uri.partition("?")[0]
    if not raw.startswith("/"):
        return None
    starts, decoded = _pieces(raw)
    # Each decoded character came from one piece of the raw path: the tail that decodes to
    # PATH_INFO starts at the piece as many from the end as PATH_INFO is long.
    j = len(decoded) - len(path_info)
    if j < 0 or "".join(decoded[j:]) != path_info:
        return None
    cut = starts[j] if j < len(starts) else len(raw)
    return raw[:cut], "".join(decoded[:j]), raw[cut:]


def _pieces(raw):
    """Where each piece of a raw path starts (a "%XX" or a character), and what each decodes to."""
    starts, decoded = [], []
    i = 0
    while i < len(raw):
        starts.append(i)
        if raw[i] == "%" and raw[i + 1:i + 2] in _HEX and raw[i + 2:i + 3] in _HEX:
            decoded.append(chr(int(raw[i + 1:i + 3], 16)))
            i += 3
        else:
            decoded.append(raw[i])
            i += 1
    return starts, decoded


def _host_name(host):
    """The name part of a Host header ("example.com:8080", "[::1]:80"), or "localhost"."""
    if host.startswith("["):
        return host[:host.find("]") + 1] if "]" in host else "localhost"
    return host.rsplit(":", 1)[0] if host else "localhost"
