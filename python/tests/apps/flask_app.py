# flask_app.py -- a small Flask application for the tests through the gateway.
import hashlib
import time

from flask import Flask, Response, redirect, request, session, url_for

app = Flask(__name__)
app.secret_key = "only for the tests"
PATTERN = bytes(range(256)) * 256  # 64 KiB


@app.route("/")
def index():
    return "<a href='%s'>hello</a> <a href='%s'>count</a>" % (
        url_for("hello", name="world", q="1"), url_for("count"))


@app.route("/hello/<name>")
def hello(name):
    return "hello %s q=%s" % (name, request.args.get("q", ""))


@app.route("/form", methods=["POST"])
def form():
    return "|".join("%s=%s" % item for item in sorted(request.form.items()))


@app.route("/upload", methods=["POST"])
def upload():
    upload = request.files["file"]
    data = upload.read()
    return "%s %d %s %s" % (upload.filename, len(data), hashlib.sha256(data).hexdigest(),
                            request.form.get("note", ""))


@app.route("/count")
def count():
    session["count"] = session.get("count", 0) + 1
    return "count %d" % session["count"]


@app.route("/go")
def go():
    return redirect(url_for("hello", name="there"))


@app.route("/stream/<int:megabytes>")
def stream(megabytes):
    def generate():
        for _ in range(megabytes * 16):
            yield PATTERN
    return Response(generate(), mimetype="application/octet-stream")


@app.route("/caf\u00e9/<word>")
def cafe(word):
    return "caf\u00e9 %s" % word


@app.route("/boom")
def boom():
    raise RuntimeError("the secret reason")


@app.route("/sleep/<float:seconds>")
def sleep(seconds):
    time.sleep(seconds)
    return "slept %g" % seconds
