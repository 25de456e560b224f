# log.py -- the error log and the access log: whole lines, one write() each, from any process.
import os
import re
import sys
import time
import traceback

_UNSAFE = re.compile(r'[^\x20-\x7e]|["\\]')
_error_fd = 2
_access_fd = 2  # None: no access log


def set_access_log(path):
    """'-' for standard error, 'off' for none, else a file appended to."""
    global _access_fd
    if path == "off":
        _access_fd = None
    elif path in ("-", None):
        _access_fd = 2
    else:
        _access_fd = os.open(path, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)


def _write(fd, line):
    data = line.encode("utf-8", "backslashreplace")
    try:
        while data:
            data = data[os.write(fd, data):]
    except OSError:
        pass  # a log that cannot be written must not stop the server


def error(message):
    """One line on the error log, with time and process id."""
    stamp = time.strftime("%Y-%m-%d %H:%M:%S %z")
    text = message.replace("\n", "\n    ")
    _write(_error_fd, "[%s] [%d] %s\n" % (stamp, os.getpid(), text))


def exception(message):
    """message and the current exception's traceback, on the error log."""
    error("%s\n%s" % (message, traceback.format_exc().rstrip()))


def escape(text):
    """text with every byte outside printable ASCII, and quotes and backslashes, as \\xNN."""
    return _UNSAFE.sub(lambda m: "\\x%02x" % ord(m.group()), text)



def _field(text):
    return escape(text) if text else "-"


_stamp_second = None
_stamp_text = ""


def _access_time(now):
    global _stamp_second, _stamp_text
    second = int(now)
    if second != _stamp_second:
        _stamp_second = second
        _stamp_text = time.strftime("[%d/%b/%Y:%H:%M:%S %z]", time.localtime(second))
    return _stamp_text


def access(environ, status, body_bytes, seconds):
    """The combined log format, then the time taken in milliseconds."""
    if _access_fd is None:
        return
    uri = environ.get("REQUEST_URI")
    if not uri:
        uri = environ.get("SCRIPT_NAME", "") + environ.get("PATH_INFO", "")
        if environ.get("QUERY_STRING"):
            uri += "?" + environ["QUERY_STRING"]
    request = "%s %s %s" % (environ.get("REQUEST_METHOD", "-"), uri,
                            environ.get("SERVER_PROTOCOL", "-"))
    _write(_access_fd, '%s - %s %s "%s" %s %s "%s" "%s" %.3f\n' % (
        _field(environ.get("REMOTE_ADDR", "")), _field(environ.get("REMOTE_USER", "")),
        _access_time(time.time()), escape(request), status or "-", body_bytes or "-",
        _field(environ.get("HTTP_REFERER", "")), _field(environ.get("HTTP_USER_AGENT", "")),
        seconds * 1000))


def flush_stdio():
    for stream in (sys.stdout, sys.stderr):
        try:
            stream.flush()
        except (OSError, ValueError):
            pass
