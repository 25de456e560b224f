# link_request.py -- the incremental decoder of one link-protocol request, with its limits.
"""Decode a link request from bytes as they arrive.

The decoder never takes memory on the word of a length field: each length is checked against
its limit the moment it is read, and buffers grow only with the bytes fed to it. It consumes
nothing past the end of the request, so a caller may hand it more than it needs.
"""

import dataclasses
import io
import tempfile

COOKIE = b"\x09\x23\x19\x63"
CONTENT_KEY = b"XBRENNOX_CONTENT_DATA"
MAJOR_VERSION = 1

# The fields in the order they arrive.
_COOKIE, _MAJOR, _MINOR, _COUNT = range(4)
_NAME_LENGTH, _NAME, _VALUE_LENGTH, _VALUE = range(4, 8)
_CONTENT_NAME_LENGTH, _CONTENT_NAME, _BODY_LENGTH, _BODY, _DONE = range(8, 13)
_NUMBER_FIELDS = frozenset(
    (_COOKIE, _MAJOR, _MINOR, _COUNT, _NAME_LENGTH, _VALUE_LENGTH, _CONTENT_NAME_LENGTH,
     _BODY_LENGTH))


@dataclasses.dataclass
class Limits:
    """What a request may carry; the defaults are the protocol's."""
    max_keys: int = 10000
    max_variable_bytes: int = 1048576
    max_body_bytes: int = 1073741824
    # Bodies longer than this go to a temporary file instead of memory.
    spool_bytes: int = 1048576


class Refused(Exception):
    """The request breaks the protocol or a limit; reason is the protocol's word for it."""

    def __init__(self, reason):
        super().__init__(reason)
        self.reason = reason


@dataclasses.dataclass
class LinkRequest:
    """A complete request: the variables as bytes in their order, and the body."""
    version: tuple
    variables: list
    body: object  # a binary file positioned at the start of the body
    body_length: int


class Decoder:
    """Feed it bytes with feed(); it says how many it took, and raises Refused."""

    def __init__(self, limits=None):
        self.limits = limits or Limits()
        self._field = _COOKIE
        self._want = 4  # bytes still missing in the current field
        self._part = bytearray()  # the current field's bytes so far (not the body's)
        self._major = 0
        self._minor = 0
        self._keys_left = 0
        self._variable_bytes = 0
        self._name = b""
        self._variables = []
        self._body = None
        self._body_length = 0
        self.request = None

    @property
    def done(self):
        return self._field == _DONE

    def wanted(self):
        """Bytes certainly still to come: reading this many never passes the request's end."""
        return self._want

    def feed(self, data):
        """Takes bytes from the front of data; returns how many were consumed."""
        view = memoryview(data)
        total = len(view)
        at = 0
        while at < total and self._field != _DONE:
            take = min(self._want, total - at)
            if self._field == _BODY:
                self._body.write(view[at:at + take])
            else:
                self._part += view[at:at + take]
            at += take
            self._want -= take
            if self._want == 0:
                self._field_complete()
        return at

    def end_of_stream(self):
        """The connection ended: an unfinished request is truncated."""
        if self._field != _DONE:
            self._discard()
            raise Refused("truncated")

    def close(self):
        """Frees what an unfinished request holds (its spool file)."""
        if self._field != _DONE:
            self._discard()

    def _discard(self):
        if self._body is not None:
            self._body.close()
            self._body = None

    def _number(self):
        return int.from_bytes(self._part, "big")

    def _next(self, field, want):
        self._field = field
        self._want = want
        self._part = bytearray()

    def _field_complete(self):
        field = self._field
        if field in _NUMBER_FIELDS:
            number = self._number()
        if field == _COOKIE:
            if bytes(self._part) != COOKIE:
                raise Refused("bad-cookie")
            self._next(_MAJOR, 4)
        elif field == _MAJOR:
            if number != MAJOR_VERSION:
                raise Refused("unsupported-version")
            self._major = number
            self._next(_MINOR, 4)
        elif field == _MINOR:
            self._minor = number
            self._next(_COUNT, 4)
        elif field == _COUNT:
            if number == 0:
                raise Refused("missing-content-key")
            if number > self.limits.max_keys:
                raise Refused("too-many-keys")
            self._keys_left = number
            self._next_key()
        elif field == _NAME_LENGTH:
            self._count_variable_bytes(number)
            self._text(_NAME, number)
        elif field == _NAME:
            self._name = bytes(self._part)
            self._next(_VALUE_LENGTH, 4)
        elif field == _VALUE_LENGTH:
            self._count_variable_bytes(number)
            self._text(_VALUE, number)
        elif field == _VALUE:
            self._variables.append((self._name, bytes(self._part)))
            self._next_key()
        elif field == _CONTENT_NAME_LENGTH:
            if number != len(CONTENT_KEY):
                raise Refused("missing-content-key")
            self._next(_CONTENT_NAME, number)
        elif field == _CONTENT_NAME:
            if bytes(self._part) != CONTENT_KEY:
                raise Refused("missing-content-key")
            self._next(_BODY_LENGTH, 4)
        elif field == _BODY_LENGTH:
            if number > self.limits.max_body_bytes:
                raise Refused("body-too-large")
            self._body_length = number
            if number > self.limits.spool_bytes:
                # Disk, not memory, for a large body; the file grows only as bytes arrive.
                self._body = tempfile.TemporaryFile(prefix="dostrel-body-")
            else:
                self._body = io.BytesIO()
            self._text(_BODY, number)
        elif field == _BODY:
            self._body.seek(0)
            self.request = LinkRequest((self._major, self._minor), self._variables,
                                       self._body, self._body_length)
            self._next(_DONE, 0)

    def _text(self, field, length):
        if length:
            self._next(field, length)
        else:
            # An empty text completes at once: no byte will come for it.
            self._next(field, 0)
            self._field_complete()

    def _count_variable_bytes(self, length):
        if self._variable_bytes + length > self.limits.max_variable_bytes:
            raise Refused("variables-too-large")
        self._variable_bytes += length

    def _next_key(self):
        self._keys_left -= 1
        self._next(_NAME_LENGTH if self._keys_left else _CONTENT_NAME_LENGTH, 4)
