# url_echo.py -- a WSGI application that answers with the URL variables it was given.


def app(environ, start_response):
    lines = ["%s=%s\n" % (name, environ[name])
             for name in ("SCRIPT_NAME", "PATH_INFO", "QUERY_STRING")]
    start_response("200 OK", [("Content-Type", "text/plain")])
    return ["".join(lines).encode("latin-1")]
