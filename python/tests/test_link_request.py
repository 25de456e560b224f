# test_link_request.py -- the decoder against every shared vector: whole, a byte at a time, and
# followed by bytes it must leave alone.
import base64
import glob
import io
import json
import os

import pytest

from conftest import VECTORS, link_request
from dostrel_wsgi.link_request import Decoder, Limits, Refused

NAMES = sorted(os.path.basename(path)[:-5] for path in glob.glob(VECTORS + "/*.json"))


def load(name):
    with open(os.path.join(VECTORS, name + ".json")) as description:
        vector = json.load(description)
    with open(os.path.join(VECTORS, name + ".bin"), "rb") as data:
        return vector, data.read()


def decode(data, limits, step):
    """Feeds data step bytes at a time as a connection would; returns (outcome, consumed)."""
    decoder = Decoder(limits)
    consumed = 0
    try:
        while not decoder.done and consumed < len(data):
            consumed += decoder.feed(data[consumed:consumed + step])
        decoder.end_of_stream()
    except Refused as refusal:
        return refusal.reason, consumed
    return decoder.request, consumed


@pytest.mark.parametrize("name", NAMES)
def test_vector(name):
    vector, data = load(name)
    limits = Limits(**vector.get("limits", {}))
    for step in (len(data) or 1, 1, 7):
        if vector["expect"] == "refuse":
            assert decode(data, limits, step)[0] == vector["reason"], step
            continue
        extra = b"\x09\x23\x19\x63 the next request"
        request, consumed = decode(data + extra, limits, step)
        assert not isinstance(request, str), request
        assert consumed == len(data), "bytes past the request were taken"
        assert list(request.version) == vector["version"]
        assert request.variables == [(n.encode("latin-1"), v.encode("latin-1"))
                                     for n, v in vector["variables"]]
        body = base64.b64decode(vector["body_base64"])
        assert request.body.read() == body and request.body_length == len(body)
    assert len(NAMES) >= 30


def test_limits_at_their_edges_and_spooling():
    variables = [(b"NAME", b"x" * 96)]  # 100 bytes of variables
    data = link_request(variables, b"b" * 50)
    exact = Limits(max_keys=2, max_variable_bytes=100, max_body_bytes=50, spool_bytes=49)
    request, _ = decode(data, exact, 1000)
    assert request.variables == variables
    assert not isinstance(request.body, io.BytesIO), "a body over spool_bytes goes to a file"
    assert request.body.read() == b"b" * 50
    assert decode(data, Limits(max_keys=1), 1000)[0] == "too-many-keys"
    assert decode(data, Limits(max_variable_bytes=99), 1000)[0] == "variables-too-large"
    assert decode(data, Limits(max_body_bytes=49), 1000)[0] == "body-too-large"
    small, _ = decode(data, Limits(spool_bytes=50), 1000)
    assert isinstance(small.body, io.BytesIO)
    # A forged body length is refused before any of its bytes, with nothing allocated.
    forged = data[:-54] + b"\xff\xff\xff\xff"
    assert decode(forged, Limits(), 1000)[0] == "body-too-large"
    assert decode(data[:-10], Limits(), 1000)[0] == "truncated"
    assert decode(data.replace(b"XBRENNOX", b"XBRENNOY"), Limits(), 3)[0] == \
        "missing-content-key"
