# test_recipes.py -- the Python guide's deployment recipes through the real gateway under
# lighttpd: Django's admin with its static files served by a web-server alias, beside a second
# application with a gateway directory of its own, under one web server.
import os
import re
import shutil
import subprocess
import sys
import urllib.error
import urllib.request

import django
import pytest

from conftest import SOURCE, free_port, wait_for

EXAMPLES = os.path.join(SOURCE, "examples", "python")
MYSITE = os.path.join(EXAMPLES, "mysite")
# The guide's commands, run here as they stand there (docs/python.md).
COLLECTSTATIC = "python3 manage.py collectstatic --noinput"
ALIAS_LINE = 'alias.url += ("/static/" => "/srv/mysite/static/")'
MIME_LINE = 'include_shell "/usr/share/lighttpd/create-mime.conf.pl"'


def fetch(url, data=None):
    """(status, headers, body); redirects are not followed."""
    class NoRedirect(urllib.request.HTTPRedirectHandler):
        def redirect_request(self, *args):
            return None
    try:
        with urllib.request.build_opener(NoRedirect()).open(
                urllib.request.Request(url, data), timeout=60) as response:
            return response.status, response.headers, response.read()
    except urllib.error.HTTPError as error:
        return error.code, error.headers, error.read()


@pytest.fixture
def lighttpd(workdir):
    """start(gateways, extra): lighttpd with the shipped configuration and the lines in extra;
    gateways maps a folder under cgi-bin to the port its gateway links every path to. Returns
    the web server's URL."""
    build = os.environ.get("DOSTREL_BUILD", "")
    program = shutil.which("lighttpd", path=os.environ.get("PATH", "") + ":/usr/sbin")
    if not program or not os.path.exists(os.path.join(build, "dostrel")):
        pytest.skip("needs lighttpd and DOSTREL_BUILD")
    root, processes = os.path.join(workdir, "web"), []

    def start(gateways, extra):
        for name, port in gateways.items():
            os.makedirs(os.path.join(root, "cgi-bin", name))
            shutil.copy(os.path.join(build, "dostrel"), os.path.join(root, "cgi-bin", name))
            with open(os.path.join(root, "cgi-bin", name, "dostrel.cnf"), "w") as config:
                config.write("link * tcp 127.0.0.1 %d\n" % port)
        for folder in ("logs", "htdocs"):
            os.makedirs(os.path.join(root, folder))
        with open(os.path.join(SOURCE, "examples", "webservers", "lighttpd.conf")) as shipped:
            template = shipped.read().replace("@ROOT@", root) + extra
        for _ in range(5):  # another port if this one was taken meanwhile
            port, path = free_port(), os.path.join(root, "lighttpd.conf")
            with open(path, "w") as config:
                config.write(template.replace("@PORT@", str(port)))
            processes.append(subprocess.Popen([program, "-D", "-f", path],
                                              stderr=subprocess.DEVNULL))
            web = "http://127.0.0.1:%d" % port

            def answers():
                try:
                    return processes[-1].poll() is not None or fetch(web + "/")[0] > 0
                except OSError:
                    return False
            wait_for(answers, 10, "lighttpd")
            if processes[-1].poll() is None:
                return web
        raise AssertionError("lighttpd did not start")
    yield start
    for process in processes:
        process.terminate()
        process.wait(10)


def test_django_admin_styles_and_two_applications(start_server, lighttpd, workdir, monkeypatch):
    static = os.path.join(workdir, "static")
    monkeypatch.setenv("MYSITE_STATIC_ROOT", static)
    monkeypatch.setenv("MYSITE_DATABASE", os.path.join(workdir, "db.sqlite3"))
    venv_bin = os.path.dirname(sys.executable)
    collected = subprocess.run(
        ["bash", "-c", COLLECTSTATIC], cwd=MYSITE, capture_output=True, text=True,
        env=dict(os.environ, PATH=venv_bin + ":" + os.environ["PATH"],
                 PYTHONDONTWRITEBYTECODE="1"))
    assert collected.returncode == 0, collected.stderr
    with open(os.path.join(SOURCE, "docs", "python.md")) as guide:
        assert ALIAS_LINE + "\n" + MIME_LINE in guide.read(), "the guide's lines are the ones tested"
    mysite = start_server("mysite.wsgi:application", "--chdir", MYSITE, "--threads", "2")
    guestbook = start_server("guestbook:app", "--chdir", EXAMPLES, "--threads", "2")
    web = lighttpd({"mysite": mysite.port, "guestbook": guestbook.port},
                   "\n%s\n%s\n" % (ALIAS_LINE.replace("/srv/mysite/static/", static + "/"),
                                    MIME_LINE))

    # Django through its gateway: links carry the gateway's path, styles come from the alias.
    status, _, body = fetch(web + "/cgi-bin/mysite/dostrel/")
    assert status == 200 and b"href='/cgi-bin/mysite/dostrel/admin/'" in body, body
    status, _, body = fetch(web + "/cgi-bin/mysite/dostrel/admin/login/")
    assert status == 200 and b'action="/cgi-bin/mysite/dostrel/admin/login/"' in body, body
    sheets = re.findall(rb'<link rel="stylesheet" [^>]*href="(/static/[^"]+\.css)"', body)
    assert b"/static/admin/css/base.css" in sheets, body
    django_static = os.path.join(os.path.dirname(django.__file__), "contrib", "admin", "static")
    for sheet in sheets:
        status, headers, css = fetch(web + sheet.decode())
        assert status == 200 and headers["Content-Type"].startswith("text/css"), sheet
        with open(django_static + sheet.decode()[len("/static"):], "rb") as original:
            assert css == original.read(), sheet

    # The guest book beside it, through a gateway of its own.
    status, _, body = fetch(web + "/cgi-bin/guestbook/dostrel/")
    assert status == 200 and b"action='/cgi-bin/guestbook/dostrel/sign'" in body, body
    status, headers, _ = fetch(web + "/cgi-bin/guestbook/dostrel/sign", b"entry=from+the+test")
    assert status == 302 and headers["Location"].endswith("/cgi-bin/guestbook/dostrel/")
    assert b"<li>from the test</li>" in fetch(web + "/cgi-bin/guestbook/dostrel/")[2]
    assert "GET /cgi-bin/mysite/dostrel/admin/login/" in mysite.log()
    assert "POST /cgi-bin/guestbook/dostrel/sign" in guestbook.log()
