# guestbook.py -- a small Flask application served through the dostrel gateway: a form, a
# session, a redirect, and links that carry the gateway's script name.
import html
import threading

from flask import Flask, redirect, request, session, url_for

app = Flask(__name__)
app.secret_key = "change me: signs the session cookie"
_entries = []  # in memory, per worker: enough for a demonstration
_lock = threading.Lock()


@app.route("/")
def index():
    session["visits"] = session.get("visits", 0) + 1
    with _lock:
        items = "".join("<li>%s</li>" % html.escape(entry) for entry in _entries[-20:])
    return ("<!doctype html><title>Guest book</title><h1>Guest book</h1>"
            "<p>Visit %d in this session. Served at <code>%s</code>.</p><ul>%s</ul>"
            "<form method=post action='%s'><input name=entry autofocus>"
            "<button>Sign</button></form>"
            % (session["visits"], html.escape(request.url), items, url_for("sign")))


@app.route("/sign", methods=["POST"])
def sign():
    entry = request.form.get("entry", "").strip()[:200]
    if entry:
        with _lock:
            _entries.append(entry)
    return redirect(url_for("index"))
