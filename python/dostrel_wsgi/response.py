# response.py -- start_response, write() and the CGI-form writer of one WSGI response.
import os
import re
import stat

_STATUS = re.compile(r"[1-9][0-9][0-9] [^\x00-\x1f\x7f]*\Z")
_TOKEN = re.compile(r"[!#$%&'*+.^_`|~0-9A-Za-z-]+\Z")
_BAD_VALUE = re.compile(r"[\x00-\x08\x0a-\x1f\x7f]")

ERROR_PAGE = (b"Status: 500 Internal Server Error\r\n"
              b"Content-Type: text/plain; charset=utf-8\r\n"
              b"Content-Length: 22\r\n\r\n"
              b"Internal Server Error\n")


class FileWrapper:
    """wsgi.file_wrapper: a file sent in blocks, or by sendfile when it is a real file."""

    def __init__(self, filelike, blksize=65536):
        self.filelike = filelike
        self.blksize = blksize
        if hasattr(filelike, "close"):
            self.close = filelike.close

    def __iter__(self):
        while True:
            block = self.filelike.read(self.blksize)
            if not block:
                return
            yield block


class Response:
    """The state of one response: status and headers until sent, then the bytes sent."""

    def __init__(self, sock):
        self.sock = sock
        self.status = None
        self.headers = None
        self.headers_sent = False
        self.body_bytes = 0
        self._length_left = None  # from Content-Length: no more is sent than it allows

    @property
    def complete(self):
        """The announced Content-Length has been sent: the rest of the iterable is not needed."""
        return self._length_left == 0

    def start_response(self, status, headers, exc_info=None):
        if exc_info:
            try:
                if self.headers_sent:
                    raise exc_info[1].with_traceback(exc_info[2])
            finally:
                exc_info = None
        elif self.status is not None:
            raise AssertionError("start_response called again without exc_info")
        if type(status) is not str or not _STATUS.match(status):
            raise ValueError("bad status %r: three digits, a space, a reason" % (status,))
        if type(headers) is not list:
            raise TypeError("headers must be a list, not %s" % type(headers).__name__)
        length = None
        for header in headers:
            if type(header) is not tuple or len(header) != 2:
                raise TypeError("header %r is not a (name, value) tuple" % (header,))
            name, value = header
            if type(name) is not str or not _TOKEN.match(name):
                raise ValueError("bad header name %r" % (name,))
            if type(value) is not str or _BAD_VALUE.search(value):
                raise ValueError("bad value for header %s: %r" % (name, value))
            if name.lower() == "content-length":
                length = int(value) if value.strip().isdigit() else None
        self.status = status
        self.headers = headers
        self._length_left = length
        return self.write

    def write(self, data):
        """The write() callable, and the sender of every body chunk."""
        if self.status is None:
            raise AssertionError("write() before start_response()")
        if type(data) is not bytes:
            if not isinstance(data, (bytes, bytearray, memoryview)):
                raise TypeError("response body chunks must be bytes, not %s"
                                % type(data).__name__)
        if not data:
            return
        if self._length_left is not None:
            if len(data) > self._length_left:
                data = data[:self._length_left]
            self._length_left -= len(data)
            if not data:
                return
        if not self.headers_sent:
            # The head travels with the first chunk: a small response is one send.
            self._send_head(data)
        else:
            self.sock.sendall(data)
        self.body_bytes += len(data)

    def write_whole(self, data, head_request):
        """Sends data as the whole body, declaring its length unless the application declared
        one or the response has no body (1xx, 204, 304, or a HEAD request, whose body the
        application may have left out)."""
        if (type(data) is bytes and self.status is not None and not head_request
                and self.status[0] != "1" and self.status[:3] not in ("204", "304")
                and not any(name.lower() in ("content-length", "transfer-encoding")
                            for name, _ in self.headers)):
            self.headers = self.headers + [("Content-Length", str(len(data)))]
        self.write(data)

    def send_file(self, wrapper):
        """Sends a FileWrapper's file; by sendfile() when it is a regular file."""
        filelike = wrapper.filelike
        try:
            offset = filelike.tell()
            status = os.fstat(filelike.fileno())
            regular = stat.S_ISREG(status.st_mode)
            size = status.st_size - offset
        except (AttributeError, OSError, ValueError):
            regular = False
        if not regular:
            for block in wrapper:
                self.write(block)
                if self.complete:
                    break
            return
        if self._length_left is not None:
            size = min(size, self._length_left)
            self._length_left -= size
        if not self.headers_sent:
            self._send_head(b"")
        if size > 0:
            sent = self.sock.sendfile(filelike, offset, size)
            self.body_bytes += sent

    def finish(self):
        """The iterable is exhausted: an empty body still needs its head."""
        if self.status is None:
            raise AssertionError("the application returned without calling start_response()")
        if not self.headers_sent:
            self._send_head(b"")

    def send_error_page(self):
        """A plain 500 page; only possible while nothing has been sent."""
        self.status = "500 Internal Server Error"
        self.headers_sent = True
        self.sock.sendall(ERROR_PAGE)
        self.body_bytes = 22

    def status_code(self):
        return int(self.status[:3]) if self.status else 0

    def _send_head(self, first_chunk):
        lines = ["Status: ", self.status, "\r\n"]
        for name, value in self.headers:
            lines += (name, ": ", value, "\r\n")
        lines.append("\r\n")
        head = "".join(lines).encode("latin-1")
        self.headers_sent = True
        self.sock.sendall(head + first_chunk if first_chunk else head)
