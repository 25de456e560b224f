// server.test.js -- the server with plain node:http handlers, over real link connections.
'use strict';

const assert = require('node:assert/strict');
const { spawn } = require('node:child_process');
const crypto = require('node:crypto');
const http = require('node:http');
const net = require('node:net');
const { test } = require('node:test');
const { createServer } = require('..');
const { encodeRequest, cgiVariables, exchange, parseCgi } = require('./support/link');

async function listening(options, handler, host = '127.0.0.1') {
  const logged = [];
  const server = createServer({ logger: (line) => logged.push(line), ...options }, handler);
  await new Promise((resolve) => server.listen(0, host, resolve));
  server.logged = logged;
  server.port = server.address().port;
  return server;
}

const closed = (server) => new Promise((resolve) => server.close(resolve));

test('plain handlers get node:http objects and answer in CGI form', async (t) => {
  const seen = {};
  const server = await listening({}, (req, res) => {
    const url = new URL(req.url, 'http://x');
    if (url.pathname === '/inspect') {
      Object.assign(seen, {
        isMessage: req instanceof http.IncomingMessage,
        isResponse: res instanceof http.ServerResponse,
        method: req.method, url: req.url, httpVersion: req.httpVersion, headers: req.headers,
        rawHeaders: req.rawHeaders, address: req.socket.remoteAddress, port: req.socket.remotePort,
        encrypted: req.socket.encrypted, script: req.cgi.SCRIPT_NAME, proxy: req.cgi.HTTP_PROXY,
      });
      res.on('finish', () => { seen.finished = true; });
      res.on('close', () => { seen.closed = true; });
      res.statusCode = 201;
      res.statusMessage = 'Made';
      res.setHeader('Set-Cookie', ['a=1', 'b=2']);
      res.setHeader('X-Number', 7);
      assert.equal(res.getHeader('x-number'), 7);
      assert.equal(res.hasHeader('Set-Cookie'), true);
      res.write('streamed ');
      assert.equal(res.headersSent, true);
      res.end('answer');
    } else if (url.pathname === '/hop') {
      // Hop-by-hop headers are the web server's: dropped, and the body is never chunked.
      res.writeHead(200, { Connection: 'keep-alive', 'Transfer-Encoding': 'chunked', 'X-Kept': 'yes' });
      res.write('raw ');
      res.end('bytes');
    } else if (url.pathname === '/empty') {
      res.writeHead(204).end();
    } else {
      res.end(`${req.method} body`);
    }
  });
  t.after(() => closed(server));
  const body = Buffer.from('{"a":1}');
  const vars = cgiVariables('POST', '/inspect', 'q=%20x', [
    ['SERVER_PROTOCOL', 'HTTP/1.0'], ['CONTENT_TYPE', 'application/json'],
    ['CONTENT_LENGTH', '7'], ['HTTP_CONTENT_LENGTH', '999'], ['HTTP_ACCEPT_LANGUAGE', 'de, en'],
    ['HTTP_PROXY', 'http://evil.example'], ['HTTPS', 'on'],
  ]).filter(([name], i, all) => name !== 'SERVER_PROTOCOL' || all.findIndex(([n]) => n === name) !== i);
  const { data } = await exchange(server.port, encodeRequest(vars, body));
  assert.equal(data.toString('latin1'), 'Status: 201 Made\r\nSet-Cookie: a=1\r\nSet-Cookie: b=2\r\n' +
    'X-Number: 7\r\n\r\nstreamed answer', 'CGI head, no chunking, no Connection or Date');
  assert.deepEqual(seen, {
    isMessage: true, isResponse: true, method: 'POST', url: '/inspect?q=%20x', httpVersion: '1.0',
    headers: { host: 'app.example', 'content-type': 'application/json', 'accept-language': 'de, en',
      'content-length': '7' },
    rawHeaders: ['Host', 'app.example', 'Content-Type', 'application/json', 'Accept-Language', 'de, en',
      'Content-Length', '7'],
    address: '192.0.2.7', port: 40123, encrypted: true, script: '/cgi-bin/dostrel', proxy: undefined,
    finished: true, closed: true,
  });

  const small = parseCgi((await exchange(server.port, encodeRequest(cgiVariables('GET', '/x')))).data);
  assert.deepEqual(small.headers['content-length'], ['8'], 'end(data) announces its length');
  assert.equal(small.body.toString(), 'GET body');
  const headed = await exchange(server.port, encodeRequest(cgiVariables('HEAD', '/x')));
  assert.equal(headed.data.toString(), 'Status: 200 OK\r\n\r\n', 'HEAD: no body');
  const hop = await exchange(server.port, encodeRequest(cgiVariables('GET', '/hop')));
  assert.equal(hop.data.toString(), 'Status: 200 OK\r\nX-Kept: yes\r\n\r\nraw bytes');
  const empty = await exchange(server.port, encodeRequest(cgiVariables('GET', '/empty')));
  assert.equal(empty.data.toString(), 'Status: 204 No Content\r\n\r\n');
});

test('request bodies stream with back-pressure, and an unread body never costs the answer', async (t) => {
  const size = 32 * 1024 * 1024;
  let readWhilePaused = -1;
  const server = await listening({}, (req, res) => {
    if (req.url === '/ignore') {
      res.end('answered without reading');
      return;
    }
    // Nobody reads for a while: the server must stop taking bytes off the socket.
    setTimeout(() => {
      readWhilePaused = req.socket.bytesRead;
      const hash = crypto.createHash('sha256');
      req.on('data', (chunk) => hash.update(chunk));
      req.on('end', () => res.end(hash.digest('hex')));
    }, 500);
  });
  t.after(() => closed(server));
  const body = crypto.randomBytes(size);
  const vars = cgiVariables('POST', '/hash', '', [['CONTENT_LENGTH', String(size)]]);
  const { data } = await exchange(server.port, encodeRequest(vars, body));
  assert.equal(parseCgi(data).body.toString(), crypto.createHash('sha256').update(body).digest('hex'));
  assert.ok(readWhilePaused > 0 && readWhilePaused < 16 * 1024 * 1024,
    `${readWhilePaused} bytes of a ${size}-byte body read while the handler read nothing`);

  // The rest of the body is taken off the wire before the close: closing a socket that holds
  // unread bytes resets the connection, and the gateway would lose the answer.
  const ignored = encodeRequest(cgiVariables('POST', '/ignore'), crypto.randomBytes(8 * 1024 * 1024));
  const answer = await exchange(server.port, ignored);
  assert.equal(answer.error, null);
  assert.equal(parseCgi(answer.data).body.toString(), 'answered without reading');
});

test('a handler that fails half way through its answer resets the connection', async (t) => {
  const server = await listening({}, async (req, res) => {
    res.writeHead(200, { 'Content-Type': 'text/plain' });
    res.write('the beginning');
    await new Promise((r) => setTimeout(r, 20));
    throw new Error('lost half way');
  });
  t.after(() => closed(server));
  const { data, error } = await exchange(server.port, encodeRequest(cgiVariables('GET', '/')));
  assert.equal(error?.code, 'ECONNRESET', 'a reset, so that the gateway reports a failure');
  assert.match(data.toString(), /^Status: 200 OK\r\n.*the beginning$/s);
  assert.equal(server.logged.length, 1);
  assert.match(server.logged[0], /^dostrel: request handler failed for GET \/: Error: lost half way/);
});

test('the allow-list and the connection limit refuse at the accept; options are checked', async (t) => {
  const server = await listening({ allow: ['127.0.0.2', '::1'] }, (req, res) => res.end('allowed'));
  t.after(() => closed(server));
  const reasons = [];
  server.on('clientError', (err) => reasons.push(err.reason));
  const request = encodeRequest(cgiVariables('GET', '/'));
  const refused = await exchange(server.port, request);
  assert.equal(refused.data.length, 0);
  assert.deepEqual(reasons, ['not-allowed']);
  assert.match(server.logged[0], /^dostrel: refused 127\.0\.0\.1:\d+: not-allowed /);
  const allowed = await exchange(server.port, request, { localAddress: '127.0.0.2' });
  assert.equal(parseCgi(allowed.data).body.toString(), 'allowed');

  const busy = await listening({ maxConnections: 1 }, (req, res) => setTimeout(() => res.end('busy'), 300));
  t.after(() => closed(busy));
  const first = exchange(busy.port, request);
  await new Promise((r) => setTimeout(r, 50));
  assert.equal((await exchange(busy.port, request)).data.length, 0, 'over the limit: closed unanswered');
  assert.equal(parseCgi((await first).data).body.toString(), 'busy');
  assert.match(busy.logged[0], /^dostrel: dropped a connection from 127\.0\.0\.1:\d+: maxConnections \(1\)/);
  const esm = await import('../index.mjs');
  assert.equal(esm.createServer, createServer, 'the ES module entry gives the same objects');
  assert.throws(() => createServer({ allow: ['localhost'] }), /not an IP address/);
  assert.throws(() => createServer({ maxKeys: -1 }), /maxKeys/);
  assert.throws(() => createServer({ requestTimeout: 'soon' }), /requestTimeout/);
});

// The child connects while the parent's event loop is blocked, so that its connections wait in
// the kernel's backlog when close() is called.
const CONNECTOR = `
const net = require('node:net');
process.on('message', ({ port, count, request }) => {
  const results = [];
  for (let i = 0; i < count; i++) {
    const socket = net.connect(port, '127.0.0.1', () => socket.write(Buffer.from(request, 'base64')));
    const chunks = [];
    socket.on('data', (c) => chunks.push(c));
    socket.on('error', (e) => { results[i] = e.code; });
    socket.on('close', () => {
      results[i] ??= Buffer.concat(chunks).toString();
      if (results.filter((r) => r !== undefined).length === count) {
        process.send(results, () => process.exit(0));
      }
    });
  }
});`;

test('close() answers the request in flight and the connections waiting in the backlog', async (t) => {
  let inFlightStarted;
  const started = new Promise((resolve) => { inFlightStarted = resolve; });
  const server = await listening({}, (req, res) => {
    if (req.url === '/slow') {
      inFlightStarted();
      setTimeout(() => res.end('slow done'), 300);
    } else {
      res.end('queued done');
    }
  });
  const child = spawn(process.execPath, ['-e', CONNECTOR], { stdio: ['ignore', 'inherit', 'inherit', 'ipc'] });
  t.after(() => child.kill());
  const slow = exchange(server.port, encodeRequest(cgiVariables('GET', '/slow')));
  await started;
  const results = new Promise((resolve) => child.once('message', resolve));
  const count = 20;
  await new Promise((resolve) => child.send({ port: server.port, count,
    request: encodeRequest(cgiVariables('GET', '/queued')).toString('base64') }, resolve));
  Atomics.wait(new Int32Array(new SharedArrayBuffer(4)), 0, 0, 700);
  let closedAt = null;
  server.close(() => { closedAt = Date.now(); });
  assert.equal(parseCgi((await slow).data).body.toString(), 'slow done');
  const answers = await results;
  assert.deepEqual(answers.map((a) => (a.startsWith('Status:') ? parseCgi(Buffer.from(a)).body.toString() : a)),
    Array(count).fill('queued done'));
  await new Promise((resolve) => (closedAt ? resolve() : server.once('close', resolve)));
  const after = await new Promise((resolve) => {
    net.connect(server.port, '127.0.0.1').on('error', (err) => resolve(err.code)).on('connect', () => resolve('connected'));
  });
  assert.equal(after, 'ECONNREFUSED');
});
