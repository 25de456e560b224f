# app_loader.py -- finds the WSGI callable that MODULE:CALLABLE names; run in each worker.
import importlib
import os
import sys


class AppLoadError(Exception):
    pass


def load_app(target, chdir=""):
    """Imports MODULE and returns its CALLABLE (default "app"); the current directory is on
    the path, as for "python3 -m"."""
    if chdir:
        os.chdir(chdir)
    if os.getcwd() not in sys.path:
        sys.path.insert(0, os.getcwd())
    module_name, _, attribute = target.partition(":")
    attribute = attribute or "app"
    if not module_name:
        raise AppLoadError("%r names no module" % target)
    module = importlib.import_module(module_name)
    app = module
    for part in attribute.split("."):
        try:
            app = getattr(app, part)
        except AttributeError:
            raise AppLoadError("module %s has no %s" % (module_name, attribute)) from None
    if not callable(app):
        raise AppLoadError("%s is not callable" % target)
    return app
