# __main__.py -- "python3 -m dostrel_wsgi" and the dostrel-wsgi command.
import sys

from . import log
from .arbiter import Arbiter
from .config import parse_args


def main(argv=None):
    config = parse_args(sys.argv[1:] if argv is None else argv)
    try:
        log.set_access_log(config.access_log)
    except OSError as error:
        sys.exit("dostrel-wsgi: cannot open the access log %s: %s" % (config.access_log, error))
    return Arbiter(config, config.app).run()


if __name__ == "__main__":
    sys.exit(main())
