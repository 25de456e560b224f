"""hello.py -- the smallest WSGI application: the Python guide's first example."""


def app(environ, start_response):
    body = "Hello from {}\n".format(environ["PATH_INFO"]).encode()
    start_response("200 OK", [("Content-Type", "text/plain"),
                              ("Content-Length", str(len(body)))])
    return [body]
