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


def _host_name(host):
    """The name part of a Host header ("example.com:8080", "[::1]:80"), or "localhost"."""
    if host.startswith("["):
        return host[:host.find("]") + 1] if "]" in host else "localhost"
    return host.rsplit(":", 1)[0] if host else "localhost"
