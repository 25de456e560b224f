// express.test.js -- an Express application behind the real gateway under lighttpd, end to end.
'use strict';

const assert = require('node:assert/strict');
const crypto = require('node:crypto');
const path = require('node:path');
const { test } = require('node:test');
const zlib = require('node:zlib');
const { startApp, startGateway, request, memoryOf } = require('./support/web');
const { encodeRequest, cgiVariables, exchange, parseCgi } = require('./support/link');
const { pattern } = require('./fixtures/express-app');

const APP = path.join(__dirname, 'fixtures/express-app.js');
const sha256 = (data) => crypto.createHash('sha256').update(data).digest('hex');

function multipart(boundary, fields, file) {
  const parts = [];
  for (const [name, value] of Object.entries(fields)) {
    parts.push(Buffer.from(`--${boundary}\r\nContent-Disposition: form-data; name="${name}"\r\n\r\n${value}\r\n`));
  }
  parts.push(Buffer.from(`--${boundary}\r\nContent-Disposition: form-data; name="file"; ` +
    `filename="${file.name}"\r\nContent-Type: application/octet-stream\r\n\r\n`));
  parts.push(file.data, Buffer.from(`\r\n--${boundary}--\r\n`));
  return Buffer.concat(parts);
}

test('an Express application behind lighttpd and the gateway', async (t) => {
  const app = await startApp(APP, { DOSTREL_REQUEST_TIMEOUT: '1500' });
  const web = await startGateway(app.port);
  t.after(async () => {
    await web.stop();
    await app.stop();
  });
  const base = web.base;
  const json = async (url, options) => {
    const res = await request(base + url, options);
    assert.equal(res.status, 200, `${url}: ${res.body}`);
    return JSON.parse(res.body);
  };

  await t.test('request bodies: JSON, form, a 1 MB multipart upload byte-exact', async () => {
    const sent = { list: [1, 'é', null], nested: { a: true } };
    const echoed = await json('/json', { method: 'POST', body: JSON.stringify(sent),
      headers: { 'Content-Type': 'application/json' } });
    assert.deepEqual(echoed, { received: sent, type: 'application/json', script: '/cgi-bin/dostrel' });

    assert.deepEqual(await json('/form', { method: 'POST', body: 'a=1&b=x+y&c=%C3%A9',
      headers: { 'Content-Type': 'application/x-www-form-urlencoded' } }), { a: '1', b: 'x y', c: 'é' });

    const file = crypto.randomBytes(1024 * 1024);
    const boundary = 'dostrel-boundary-' + crypto.randomBytes(8).toString('hex');
    const res = await request(base + '/upload', { method: 'POST',
      body: multipart(boundary, { note: 'a note' }, { name: 'data.bin', data: file }),
      headers: { 'Content-Type': `multipart/form-data; boundary=${boundary}` } });
    assert.equal(res.status, 200);
    assert.equal(res.headers['x-field'], 'a note');
    assert.equal(res.headers['x-name'], 'data.bin');
    assert.equal(res.body.length, file.length);
    assert.ok(res.body.equals(file), 'the uploaded file comes back byte for byte');
  });

  await t.test('the request: url, headers, client address, cookies; redirects, 404', async () => {
    const seen = await json('/request?x=1&y=%20z', { headers: { 'X-Custom': 'custom value',
      'Accept-Language': 'fr', Proxy: 'http://evil.example/', Cookie: 'a=1; b=2' } });
    assert.equal(seen.url, '/request?x=1&y=%20z');
    assert.equal(seen.path, '/request');
    assert.deepEqual(seen.query, { x: '1', y: ' z' });
    assert.equal(seen.ip, '127.0.0.1');
    assert.equal(seen.protocol, 'http');
    assert.equal(seen.hostname, '127.0.0.1');
    assert.equal(seen.httpVersion, '1.1');
    assert.equal(seen.headers['x-custom'], 'custom value');
    assert.equal(seen.headers['accept-language'], 'fr');
    assert.equal(seen.headers.proxy, undefined, 'a Proxy header never becomes req.headers.proxy');
    assert.equal(seen.proxyInCgi, false);
    assert.equal(seen.pathInfo, '/request');

    assert.deepEqual(await json('/path/caf%C3%A9%20x/y'), { url: '/path/caf%C3%A9%20x/y', rest: 'café x/y' });

    const cookies = await request(base + '/cookies', { headers: { Cookie: 'a=1; b=two' } });
    assert.deepEqual(JSON.parse(cookies.body), { a: '1', b: 'two' });
    assert.deepEqual(cookies.headers['set-cookie'], ['first=one; Path=/', 'second=two; Path=/; HttpOnly']);

    const moved = await request(base + '/redirect');
    assert.equal(moved.status, 302);
    assert.equal(moved.headers.location, '/cgi-bin/dostrel/hello');

    const missing = await request(base + '/nope');
    assert.equal(missing.status, 404);
    assert.match(missing.body.toString(), /Cannot GET \/nope/);

    const zipped = await request(base + '/compressed', { headers: { 'Accept-Encoding': 'gzip' } });
    assert.equal(zipped.headers['content-encoding'], 'gzip');
    assert.equal(zlib.gunzipSync(zipped.body).toString(), 'z'.repeat(200000));
  });

  await t.test('errors answer 500 and the server keeps serving', async () => {
    for (const url of ['/throw', '/reject', '/plain/throw', '/plain/reject']) {
      const res = await request(base + url);
      assert.equal(res.status, 500, url);
      assert.equal(res.headers['x-half-done'], undefined, `${url}: headers set before the error are dropped`);
    }
    assert.equal((await request(base + '/plain/throw')).body.toString(), 'Internal Server Error\n');
    assert.equal((await request(base + '/hello')).body.toString(), 'hello from express');
    const log = app.stderr();
    for (const what of ['thrown by a plain handler', 'rejected by a plain handler']) {
      assert.match(log, new RegExp(`request handler failed for GET /plain/.*${what}`));
    }
  });

  await t.test('a 50 MB response streams in flat memory', async () => {
    const size = 50 * 1024 * 1024;
    const before = memoryOf(app.child.pid);
    const res = await request(base + `/stream?size=${size}`);
    const after = memoryOf(app.child.pid);
    assert.equal(res.status, 200);
    assert.equal(res.body.length, size);
    assert.equal(sha256(res.body), sha256(pattern(size)));
    const grewMiB = (after.peak - before.peak) / 1024;
    t.diagnostic(`server peak RSS ${(before.peak / 1024).toFixed(1)} -> ${(after.peak / 1024).toFixed(1)} MiB`);
    assert.ok(grewMiB < 16, `the server's peak RSS grew by ${grewMiB.toFixed(1)} MiB for 50 MB`);
  });

  await t.test('a slow reader holds the server back instead of filling its memory', async () => {
    const size = 50 * 1024 * 1024;
    await request(base + '/stats/reset', { method: 'POST' });
    const socket = require('node:net').connect(app.port, '127.0.0.1');
    const chunks = [];
    await new Promise((resolve) => socket.on('connect', resolve));
    socket.pause();
    socket.write(encodeRequest(cgiVariables('GET', '/stream', `size=${size}`)));
    await new Promise((r) => setTimeout(r, 1000));
    const stalled = await json('/stats');
    t.diagnostic(`${stalled.produced} bytes produced while the reader read nothing`);
    assert.ok(stalled.produced < 16 * 1024 * 1024,
      `${stalled.produced} bytes produced for a reader that reads nothing`);
    assert.ok(stalled.drains > 0, 'res.write returned false');
    socket.on('data', (chunk) => chunks.push(chunk));
    socket.resume();
    await new Promise((resolve) => socket.on('close', resolve));
    const answer = parseCgi(Buffer.concat(chunks));
    assert.equal(answer.status, '200 OK');
    assert.equal(answer.headers['transfer-encoding'], undefined);
    assert.equal(sha256(answer.body), sha256(pattern(size)));
  });

  await t.test('bad, oversized and idle link connections are dropped; good ones answered', async () => {
    const forgedBody = encodeRequest([['A', 'b']]);
    forgedBody.writeUInt32BE(100 * 1024 * 1024, forgedBody.length - 4); // over the 64 MiB limit
    const forgedName = encodeRequest([['A', 'b']]);
    forgedName.writeUInt32BE(0xffffffff, 16);
    const started = Date.now();
    const bad = [
      exchange(app.port, Buffer.from('GET / HTTP/1.1\r\n\r\n')),
      exchange(app.port, forgedBody),
      exchange(app.port, forgedName),
      exchange(app.port, Buffer.alloc(0)).then((r) => ({ ...r, ms: Date.now() - started })),
    ];
    const good = Array.from({ length: 8 }, () => request(base + '/hello'));
    for (const res of await Promise.all(good)) assert.equal(res.body.toString(), 'hello from express');
    const [cookie, body, name, idle] = await Promise.all(bad);
    for (const r of [cookie, body, name, idle]) assert.equal(r.data.length, 0, 'not a byte written');
    assert.ok(idle.ms >= 1400, `the idle connection was closed after ${idle.ms} ms`);
    const log = app.stderr();
    for (const reason of ['bad-cookie', 'body-too-large', 'variables-too-large', 'timeout']) {
      assert.match(log, new RegExp(`^dostrel: refused 127\\.0\\.0\\.1:\\d+: ${reason} `, 'm'));
    }
  });

  await t.test('SIGTERM: the request in flight is answered, then the server exits', async () => {
    const inFlight = request(base + '/slow?ms=1200');
    while ((await json('/stats')).slowStarted === 0) await new Promise((r) => setTimeout(r, 20));
    app.child.kill('SIGTERM');
    const res = await inFlight;
    assert.equal(res.status, 200);
    assert.equal(res.body.toString(), 'slow answer after 1200 ms');
    assert.deepEqual(await app.exited, { code: 0, signal: null });
    assert.equal((await request(base + '/hello')).status, 503, 'nothing listens any more');
  });
});
