"""pool_app.py -- the WSGI application of the pool test: it answers as the C++ sample server
does, so that the client checks responses the same way whichever server answered.

  ?echo      the request body, unchanged
  ?bytes=N   N bytes of the sample server's pattern: byte i is (7i + i/251) mod 256
  /healthz   "ok", for the load balancer's health check
"""

import urllib.parse

PATTERN_PERIOD = 251 * 256
PATTERN = bytes((i * 7 + i // 251) & 0xFF for i in range(PATTERN_PERIOD))


def pattern_chunks(size):
    done = 0
    while done < size:
        offset = done % PATTERN_PERIOD
        chunk = PATTERN[offset:offset + min(size - done, PATTERN_PERIOD - offset)]
        done += len(chunk)
        yield chunk


def application(environ, start_response):
    query = urllib.parse.parse_qs(environ.get("QUERY_STRING", ""), keep_blank_values=True)
    headers = [("Content-Type", "application/octet-stream"), ("X-Appserver", "python")]
    if "bytes" in query:
        size = int(query["bytes"][0])
        start_response("200 OK", headers + [("Content-Length", str(size))])
        return pattern_chunks(size)
    if "echo" in query:
        length = int(environ.get("CONTENT_LENGTH") or 0)
        body = environ["wsgi.input"].read(length)
        start_response("200 OK", headers + [("Content-Length", str(len(body)))])
        return [body]
    start_response("200 OK", [("Content-Type", "text/plain")])
    return [b"ok\n"]
