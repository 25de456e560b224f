// app.js -- a small Express application served through the dostrel gateway.
// PORT (default 9000; 0 picks one), WORKERS (default 1: one process; more: a cluster).
'use strict';

const express = require('express');
const { createServer, cluster } = require('dostrel');

const app = express();
app.use(express.urlencoded({ extended: false }));

// The application sees paths as if mounted at the root; links and redirects that the browser
// follows need the gateway's own URL in front, which the web server passes as SCRIPT_NAME.
app.use((req, res, next) => {
  res.locals.base = req.cgi.SCRIPT_NAME || '';
  next();
});

const escape = (s) => String(s).replace(/[&<>"']/g, (c) => `&#${c.charCodeAt(0)};`);

app.get('/', (req, res) => {
  const base = res.locals.base;
  res.send(`<!doctype html><title>dostrel + Express</title>
<h1>Hello from Express behind dostrel</h1>
<p>Process ${process.pid}, client ${escape(req.ip)}, ${escape(req.get('user-agent') || 'no user agent')}.</p>
<form method="post" action="${escape(base)}/greet">
  <input name="name" placeholder="your name"> <button>Greet me</button>
</form>
<p><a href="${escape(base)}/api/time">/api/time</a> (JSON)</p>`);
});

app.post('/greet', (req, res) => {
  const name = (req.body.name || '').trim() || 'stranger';
  res.type('text').send(`Hello, ${name}!\n`);
});

app.get('/api/time', (req, res) => res.json({ time: new Date().toISOString(), pid: process.pid }));

function start() {
  const server = createServer({ requestTimeout: 30000 }, app);
  return server.listen(Number(process.env.PORT ?? 9000), '127.0.0.1', () => {
    console.log(`listening on 127.0.0.1:${server.address().port}`);
  });
}

const workers = Number(process.env.WORKERS || 1);
if (workers > 1) {
  // The primary forks the workers; SIGTERM or Ctrl-C stops them once their requests are done.
  cluster({ workers }, start);
} else {
  const server = start();
  const stop = () => server.close(() => process.exit(0));
  process.on('SIGTERM', stop);
  process.on('SIGINT', stop);
}
