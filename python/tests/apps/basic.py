# basic.py -- a plain WSGI application for the server tests: says who served it, or sleeps.
import os
import time


def app(environ, start_response):
    path = environ["PATH_INFO"]
    if path == "/sleep":
        time.sleep(float(environ["QUERY_STRING"] or "1"))
    elif path == "/stuck":
        time.sleep(3600)
    body = ("%s %s %d %s\n" % (environ["REQUEST_METHOD"], path, os.getpid(),
                               len(environ["wsgi.input"].read()))).encode()
    start_response("200 OK", [("Content-Type", "text/plain"),
                              ("Content-Length", str(len(body)))])
    return [body]
