# __init__.py -- dostrel_wsgi: serves a WSGI application to the dostrel gateway.
"""Serve any WSGI application over dostrel's link protocol.

    python3 -m dostrel_wsgi [options] MODULE:CALLABLE

or from Python, with an application already at hand:

    import dostrel_wsgi
    dostrel_wsgi.serve(app, bind="127.0.0.1:9000", workers=2)
"""

__version__ = "1.0"


def serve(app, bind="127.0.0.1:9000", **options):
    """Serves app until a stop signal; options are the command line's, with underscores
    (workers=2, read_timeout=10, max_body_bytes=...). Returns the exit status."""
    from . import log
    from .arbiter import Arbiter
    from .config import parse_args
    argv = ["--bind", bind]
    for name, value in options.items():
        argv += ["--" + name.replace("_", "-"), str(value)]
    config = parse_args(argv + ["-"])
    log.set_access_log(config.access_log)
    return Arbiter(config, app).run()
