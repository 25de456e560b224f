#!/usr/bin/env python3
"""generate.py -- makes the link protocol's shared test vectors.

Accepted vectors are recorded from the real gateway: it is started with an exact environment
and body, as a web server would start it, and every byte it sends to a listening socket is kept.
Refused vectors are made from the recorded ones (cut short, a field forged) or by hand.

    python3 tests/vectors/generate.py GATEWAY [DIRECTORY]

writes NAME.bin and NAME.json for every vector into DIRECTORY (tests/vectors by default).

    python3 tests/vectors/generate.py --check GATEWAY

makes them all again in a temporary directory and fails unless every file is the same as the
one in tests/vectors and no vector is missing or left over: a change to a vector is a change to
the protocol, and this catches a gateway that sends other bytes than the vectors say.
"""

import base64
import copy
import ctypes
import json
import os
import socket
import struct
import sys
import tempfile
import threading

COOKIE = b"\x09\x23\x19\x63"
CONTENT_KEY = b"XBRENNOX_CONTENT_DATA"


def latin1(data):
    return data.decode("latin-1")


def run_gateway(gateway, environment, body):
    """Runs the gateway once with exactly |environment| (a list of bytes) and returns the request
    it sent. The environment goes through execve itself: strings without "=" cannot be given
    through os.execve's mapping."""
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)
    port = listener.getsockname()[1]
    received = bytearray()

    def serve():
        connection, _ = listener.accept()
        with connection:
            while True:
                chunk = connection.recv(65536)
                if not chunk:
                    break
                received.extend(chunk)
                if request_complete(bytes(received)):
                    connection.sendall(b"Status: 204 No Content\r\n\r\n")
                    break

    server = threading.Thread(target=serve)
    server.start()
    with tempfile.TemporaryDirectory() as directory:
        with open(os.path.join(directory, "dostrel.cnf"), "w") as config:
            config.write("link * tcp 127.0.0.1 %d\n" % port)
        status = spawn(gateway, environment, body, directory)
    server.join(30)
    listener.close()
    if status != 0:
        sys.exit("the gateway exited with status %d" % status)
    return bytes(received)


def spawn(gateway, environment, body, directory):
    libc = ctypes.CDLL(None, use_errno=True)
    argv = (ctypes.c_char_p * 2)(b"dostrel", None)
    envp = (ctypes.c_char_p * (len(environment) + 1))(*environment, None)
    program = os.fsencode(os.path.abspath(gateway))
    body_in, body_out = os.pipe()
    output_in, output_out = os.pipe()
    pid = os.fork()
    if pid == 0:
        try:
            os.chdir(directory)
            os.dup2(body_in, 0)
            os.dup2(output_out, 1)
            libc.execve(program, argv, envp)
        finally:
            os._exit(127)
    os.close(body_in)
    os.close(output_out)
    os.write(body_out, body)
    os.close(body_out)
    while os.read(output_in, 65536):
        pass
    os.close(output_in)
    _, status = os.waitpid(pid, 0)
    return os.waitstatus_to_exitcode(status)


def request_complete(data):
    """True when |data| holds a whole request by its framing."""
    if len(data) < 16:
        return False
    (count,) = struct.unpack(">I", data[12:16])
    offset = 16
    for _ in range(2 * count):
        if len(data) < offset + 4:
            return False
        (length,) = struct.unpack(">I", data[offset:offset + 4])
        offset += 4 + length
    return len(data) >= offset


def split_environment(environment):
    """The variables the gateway makes of |environment|: each string split at its first "=";
    a string that starts with "=" is a hidden entry (Windows keeps such per-drive entries), no
    variable, and is not sent."""
    variables = []
    for entry in environment:
        if entry.startswith(b"="):
            continue
        name, _, value = entry.partition(b"=")
        variables.append([latin1(name), latin1(value)])
    return variables


def decode(data):
    """The version, variables and body of a complete request, read by its framing."""
    major, minor, count = struct.unpack(">III", data[4:16])
    offset, texts = 16, []
    for _ in range(2 * count):
        (length,) = struct.unpack(">I", data[offset:offset + 4])
        texts.append(data[offset + 4:offset + 4 + length])
        offset += 4 + length
    assert offset == len(data) and texts[-2] == CONTENT_KEY, "not one whole request"
    pairs = [[latin1(texts[i]), latin1(texts[i + 1])] for i in range(0, len(texts) - 2, 2)]
    return [major, minor], pairs, texts[-1]


def field_offsets(data):
    """The offset of every field of a request: (what, offset) in order."""
    fields = [("cookie", 0), ("major version", 4), ("minor version", 8), ("key count", 12)]
    (count,) = struct.unpack(">I", data[12:16])
    offset = 16
    for index in range(count):
        last = index == count - 1
        for part in ("name", "value"):
            label = ("content key " if last else "variable ") + part
            if last and part == "value":
                label = "body"
            fields.append((label + " length", offset))
            (length,) = struct.unpack(">I", data[offset:offset + 4])
            fields.append((label, offset + 4))
            offset += 4 + length
    return fields


# The requests recorded from the gateway: (name, description, environment, body).
def accepted_cases():
    all_name_bytes = bytes(b for b in range(1, 256) if b != ord("="))
    all_value_bytes = bytes(range(1, 256))
    typical = [
        b"GATEWAY_INTERFACE=CGI/1.1", b"SERVER_SOFTWARE=lighttpd/1.4.69",
        b"SERVER_NAME=www.example.com", b"SERVER_PORT=80", b"SERVER_PROTOCOL=HTTP/1.1",
        b"REQUEST_METHOD=POST", b"REQUEST_URI=/cgi-bin/dostrel/shop/cart?item=42&n=1",
        b"SCRIPT_NAME=/cgi-bin/dostrel", b"PATH_INFO=/shop/cart", b"QUERY_STRING=item=42&n=1",
        b"REMOTE_ADDR=192.0.2.7", b"REMOTE_PORT=51234",
        b"CONTENT_TYPE=application/x-www-form-urlencoded", b"CONTENT_LENGTH=16",
        b"HTTP_HOST=www.example.com", b"HTTP_COOKIE=session=abc; theme=dark",
        b"HTTP_ACCEPT_LANGUAGE=de-CH, fr;q=0.5",
    ]
    many = [b"VARIABLE_%04d=value %d" % (i, i) for i in range(1999)]
    return [
        ("empty", "No variable, no body: the smallest request, 45 bytes.", [], b""),
        ("one-variable", "One variable and a two-byte body.", [b"CONTENT_LENGTH=2"], b"hi"),
        ("typical-post", "A form post as a web server starts the gateway for it.",
         typical, b"quantity=3&go=ok"),
        ("equals-signs",
         "Strings split at their first '=': several, none, an empty value; one that starts "
         "with '=' is no variable and is not sent.",
         [b"A=b=c==d", b"NOEQUALS", b"=x", b"EMPTY=", b"CONTENT_LENGTH=0"], b""),
        ("all-byte-values",
         "Every byte value 1 to 255 in a value, all but '=' in a name, 0 to 255 in the body.",
         [b"V=" + all_value_bytes, all_name_bytes + b"=name", b"CONTENT_LENGTH=256"],
         bytes(range(256))),
        ("larger-than-send-buffer",
         "A request of more than 8192 bytes: a 10000-byte value and a 5000-byte body.",
         [b"LONG=" + b"x" * 10000, b"CONTENT_LENGTH=5000"],
         bytes((i * 7) & 0xFF for i in range(5000))),
        ("two-thousand-keys", "2000 keys: 1999 variables and the content key.",
         many, b""),
    ]


def vector_for(environment, body, data, description):
    """The description of a recorded request: what the bytes hold, which must be what the
    gateway was given."""
    version, variables, sent_body = decode(data)
    if variables != split_environment(environment) or sent_body != body or data[:4] != COOKIE:
        sys.exit("the gateway sent other variables or another body than it was given")
    return {
        "description": description,
        "expect": "accept",
        "recorded": True,
        "environment": [latin1(entry) for entry in environment],
        "version": version,
        "variables": variables,
        "body_base64": base64.b64encode(sent_body).decode("ascii"),
    }


def refused(description, reason, limits=None):
    vector = {"description": description, "expect": "refuse", "reason": reason,
              "recorded": False}
    if limits:
        vector["limits"] = limits
    return vector


def number(value):
    return struct.pack(">I", value)


def text(data):
    return number(len(data)) + data


def head(key_count):
    """The cookie, version 1.0 and a key count: what opens a request made by hand."""
    return COOKIE + number(1) + number(0) + number(key_count)


def with_limits(vector, description, limits):
    """An accepted vector again, read under other limits."""
    return dict(copy.deepcopy(vector), description=description, limits=limits)


def limit_edges(slug, description, size, below, limit, reason, vector, data):
    """A recorded request of |size| under a limit of |below|, refused, and under a limit of
    exactly |size|, accepted."""
    return [
        (slug + "-over-limit", refused(description % (size, below), reason, {limit: below}),
         data),
        (slug + "-at-limit", with_limits(vector, description % (size, size), {limit: size}),
         data),
    ]


def derived_cases(recorded, vectors):
    """Refused requests, and accepted ones the gateway does not send today, made from the
    recorded requests (their bytes, and their descriptions in |vectors|) and by hand."""
    cases = []
    typical = recorded["typical-post"]
    seen = set()
    for what, offset in field_offsets(typical):
        if what in seen:
            continue  # the first variable's fields stand for every variable's
        seen.add(what)
        # Cut inside the field: after its first byte (or before any byte of the request).
        cut = offset + 1 if offset + 1 < len(typical) else offset
        slug = what.replace(" ", "-")
        cases.append(("truncated-in-" + slug, refused(
            "The connection ends inside the %s." % what, "truncated"), typical[:cut]))
    empty = recorded["empty"]
    cases.append(("truncated-before-any-byte", refused(
        "The connection ends before the first byte.", "truncated"), b""))
    cases.append(("bad-cookie", refused(
        "The first four bytes are not the cookie.", "bad-cookie"),
        b"GET " + empty[4:]))
    cases.append(("bad-cookie-reversed", refused(
        "The cookie in little-endian order.", "bad-cookie"), COOKIE[::-1] + empty[4:]))
    cases.append(("major-version-2", refused(
        "Major version 2, which this protocol does not know.", "unsupported-version"),
        COOKIE + number(2) + number(0) + empty[12:]))
    minor = {
        "description": "Version 1.7: a later minor version is read like 1.0.",
        "expect": "accept", "recorded": False, "version": [1, 7],
        "variables": [["CONTENT_LENGTH", "2"]],
        "body_base64": base64.b64encode(b"hi").decode("ascii"),
    }
    one = recorded["one-variable"]
    cases.append(("minor-version-7", minor, one[:8] + number(7) + one[12:]))
    cases.append(("empty-name", {
        "description": "A variable with an empty name: the gateway sends none, the framing "
                       "allows it.",
        "expect": "accept", "recorded": False, "version": [1, 0],
        "variables": [["", "x"]], "body_base64": "",
    }, head(2) + text(b"") + text(b"x") + text(CONTENT_KEY)
        + text(b"")))
    cases.append(("zero-keys", refused(
        "A key count of 0: no content key.", "missing-content-key"),
        head(0)))
    cases.append(("last-key-not-content", refused(
        "The last key is an ordinary variable.", "missing-content-key"),
        head(1) + text(b"CONTENT_LENGTH") + text(b"0")))
    cases.append(("last-key-name-forged-length", refused(
        "The last key's name is given a length of 4294967295; refused before any name byte.",
        "missing-content-key"),
        head(1) + number(0xFFFFFFFF)))
    cases.append(("key-count-forged", refused(
        "A key count of 4294967295 with nothing after it: refused on the count alone.",
        "too-many-keys"), head(0xFFFFFFFF)))
    cases += limit_edges("key-count", "%d keys where at most %d are allowed.", 2000, 100,
                         "max_keys", "too-many-keys", vectors["two-thousand-keys"],
                         recorded["two-thousand-keys"])
    cases.append(("name-length-forged", refused(
        "A variable name given a length of 4294967280; refused before any name byte.",
        "variables-too-large"),
        head(2) + number(0xFFFFFFF0)))
    cases.append(("value-length-forged", refused(
        "A variable value given a length of 2147483648; refused before any value byte.",
        "variables-too-large"),
        head(2) + text(b"NAME") + number(0x80000000)))
    size = variable_bytes(vectors["typical-post"])
    cases += limit_edges("variables",
                         "Names and values of %d bytes where at most %d are allowed.",
                         size, size - 1, "max_variable_bytes", "variables-too-large",
                         vectors["typical-post"], typical)
    cases.append(("body-length-forged", refused(
        "A body given a length of 4294967295; refused before any body byte.", "body-too-large"),
        head(1) + text(CONTENT_KEY) + number(0xFFFFFFFF)))
    cases.append(("body-over-limit", refused(
        "A 16-byte body where at most 15 bytes are allowed.", "body-too-large",
        {"max_body_bytes": 15}), typical))
    return cases


def variable_bytes(vector):
    return sum(len(name) + len(value) for name, value in vector["variables"])


def write_vector(directory, name, vector, data):
    with open(os.path.join(directory, name + ".bin"), "wb") as out:
        out.write(data)
    with open(os.path.join(directory, name + ".json"), "w") as out:
        out.write(to_json(vector))


def to_json(vector):
    """JSON with one member a line and one list item a line, readable in a diff."""
    lines = []
    for key, value in vector.items():
        if isinstance(value, list) and value and isinstance(value[0], (list, str)):
            items = ",\n".join("    " + json.dumps(item) for item in value)
            lines.append("  %s: [\n%s\n  ]" % (json.dumps(key), items))
        else:
            lines.append("  %s: %s" % (json.dumps(key), json.dumps(value)))
    return "{\n" + ",\n".join(lines) + "\n}\n"


def main():
    arguments = sys.argv[1:]
    here = os.path.dirname(os.path.abspath(__file__))
    if len(arguments) == 2 and arguments[0] == "--check":
        with tempfile.TemporaryDirectory() as directory:
            generate(arguments[1], directory)
            sys.exit(compare(directory, here))
    if len(arguments) not in (1, 2) or arguments[0].startswith("-"):
        sys.exit(__doc__)
    generate(arguments[0], arguments[1] if len(arguments) == 2 else here)


def compare(made, committed):
    """0 when the two directories hold the same vectors, else 1 with what differs."""
    def vector_files(directory):
        return {f for f in os.listdir(directory) if f.endswith((".bin", ".json"))}
    made_files, committed_files = vector_files(made), vector_files(committed)
    problems = ["missing from tests/vectors: " + f for f in sorted(made_files - committed_files)]
    problems += ["not made by generate.py: " + f for f in sorted(committed_files - made_files)]
    for name in sorted(made_files & committed_files):
        with open(os.path.join(made, name), "rb") as a, \
                open(os.path.join(committed, name), "rb") as b:
            if a.read() != b.read():
                problems.append("differs: " + name)
    for problem in problems:
        print(problem)
    print("%d vectors checked, %d problems" % (len(made_files) // 2, len(problems)))
    return 1 if problems else 0


def generate(gateway, directory):
    recorded, vectors = {}, {}
    for name, description, environment, body in accepted_cases():
        data = run_gateway(gateway, environment, body)
        recorded[name] = data
        vectors[name] = vector_for(environment, body, data, description)
        write_vector(directory, name, vectors[name], data)
    assert len(recorded["empty"]) == 45, "the empty request is not 45 bytes"
    for name, vector, data in derived_cases(recorded, vectors):
        write_vector(directory, name, vector, data)


if __name__ == "__main__":
    main()
