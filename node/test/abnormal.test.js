// abnormal.test.js -- every answer cut short reaches the real gateway as a reset, so that it
// reports error 11 and exits 1; whole answers end with exit 0; a group SIGTERM forks nothing.
'use strict';

const assert = require('node:assert/strict');
const { spawn } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { test } = require('node:test');
const { buildDir } = require('./support/web');

const APP = path.join(__dirname, 'fixtures/abnormal-app.js');
const ERROR_11 = /dostrel: error 11: Error receivng data on socket/;
const BLOCK = Buffer.alloc(65536);
for (let i = 0; i < BLOCK.length; i++) BLOCK[i] = i & 0xff;

/// The cluster fixture in a process group of its own; resolves once `workers` listen.
function startCluster(env) {
  const child = spawn(process.execPath, [APP], { env: { ...process.env, ...env }, detached: true,
    stdio: ['ignore', 'pipe', 'pipe'] });
  const app = { child, out: '', err: '', port: 0 };
  child.stdout.on('data', (chunk) => { app.out += chunk; });
  child.stderr.on('data', (chunk) => { app.err += chunk; });
  app.exited = new Promise((resolve) => child.on('exit', (code, signal) => resolve({ code, signal })));
  app.stop = () => {
    try {
      process.kill(-child.pid, 'SIGKILL');
    } catch { /* already gone */ }
  };
  return app;
}

async function until(what, condition, seconds = 20) {
  for (let waited = 0; waited < seconds * 1000; waited += 25) {
    if (condition()) return;
    await new Promise((resolve) => setTimeout(resolve, 25));
  }
  throw new Error(`timed out waiting for ${what}`);
}

const count = (text, pattern) => (text.match(pattern) || []).length;

/// The gateway as a web server starts it for one request: {status, head, body, stderr}.
function gateway(dir, port, pathInfo, method = 'GET') {
  fs.writeFileSync(path.join(dir, 'dostrel.cnf'), `link * tcp 127.0.0.1 ${port}\n`);
  const env = { GATEWAY_INTERFACE: 'CGI/1.1', REQUEST_METHOD: method, SCRIPT_NAME: '/cgi-bin/dostrel',
    PATH_INFO: pathInfo, QUERY_STRING: '', SERVER_PROTOCOL: 'HTTP/1.1', SERVER_NAME: 'localhost',
    SERVER_PORT: '80', REMOTE_ADDR: '127.0.0.1' };
  const started = Date.now();
  return new Promise((resolve, reject) => {
    const child = spawn(path.join(buildDir(), 'dostrel'), [], { cwd: dir, env,
      stdio: ['ignore', 'pipe', 'pipe'] });
    const out = [];
    let stderr = '';
    child.stdout.on('data', (chunk) => out.push(chunk));
    child.stderr.on('data', (chunk) => { stderr += chunk; });
    const timer = setTimeout(() => child.kill('SIGKILL'), 120000);
    child.on('error', reject);
    child.on('close', (status) => {
      clearTimeout(timer);
      console.log(`${method} ${pathInfo}: exit ${status} after ${Date.now() - started} ms`);
      const data = Buffer.concat(out);
      const end = data.indexOf('\r\n\r\n');
      resolve({ status, stderr, head: data.toString('latin1', 0, Math.max(end, 0)).split('\r\n'),
        body: end < 0 ? Buffer.alloc(0) : data.subarray(end + 4) });
    });
  });
}

test('cut answers are resets through the gateway; whole ones complete', async (t) => {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'dostrel-abnormal-'));
  const app = startCluster({ RESPONSE_TIMEOUT: '2000', SHUTDOWN_TIMEOUT: '500' });
  t.after(() => {
    app.stop();
    fs.rmSync(dir, { recursive: true, force: true });
  });
  await until('the worker', () => /listening on 127\.0\.0\.1:(\d+)/.test(app.out));
  // The port of the newest worker: with its only worker gone, the cluster closes the port, and
  // the replacement listens on a new one.
  const port = () => Number([...app.out.matchAll(/listening on 127\.0\.0\.1:(\d+)/g)].pop()[1]);
  const lengthOf = (head) => head.filter((line) => /^content-length:/i.test(line));

  // Whole answers: exit 0, no error line; the length declared where end() had the whole body.
  let answer = await gateway(dir, port(), '/whole');
  assert.equal(answer.status, 0, answer.stderr);
  assert.equal(answer.stderr, '');
  assert.ok(answer.body.equals(Buffer.concat([BLOCK, BLOCK, BLOCK, BLOCK, BLOCK])));
  assert.deepEqual(lengthOf(answer.head), [`Content-Length: ${5 * BLOCK.length}`]);
  answer = await gateway(dir, port(), '/declared');
  assert.equal(answer.status, 0, answer.stderr);
  assert.ok(answer.body.equals(BLOCK));
  assert.deepEqual(answer.head.slice(1), ['Content-Length: 65536', 'X-Mine: 1']);
  answer = await gateway(dir, port(), '/stream');
  assert.equal(answer.status, 0, answer.stderr);
  assert.equal(answer.body.length, 5 * BLOCK.length);
  assert.deepEqual(lengthOf(answer.head), [], 'a stream declares no length');
  for (const [method, pathInfo] of [['HEAD', '/whole'], ['GET', '/empty']]) {
    answer = await gateway(dir, port(), pathInfo, method);
    assert.equal(answer.status, 0, answer.stderr);
    assert.deepEqual(lengthOf(answer.head), [], `${method} ${pathInfo} has no body to declare`);
  }

  // Cut answers: the first 64 KiB reach the gateway, then a reset.
  const cuts = ['/throws', '/rejects', '/res-destroy', '/socket-destroy', '/pipeline',
    '/express/next-error', '/hangs', '/express/async-throw', '/exits', '/crashes'];
  for (const pathInfo of cuts) {
    const workers = count(app.out, /listening on/g);
    answer = await gateway(dir, port(), pathInfo);
    assert.equal(answer.status, 1, `${pathInfo}: ${answer.stderr}`);
    assert.match(answer.stderr, ERROR_11, pathInfo);
    // A synchronous throw comes while node:http still holds the first block (it corks the socket
    // for a tick): the reset drops it. Everywhere else the block was out before the cut.
    if (pathInfo !== '/throws') {
      assert.equal(answer.head[0], 'Status: 200 OK', pathInfo);
      assert.ok(answer.body.length >= BLOCK.length, pathInfo);
    }
    // The last three end the worker: wait for its replacement.
    if (['/express/async-throw', '/exits', '/crashes'].includes(pathInfo)) {
      await until(`a new worker after ${pathInfo}`, () => count(app.out, /listening on/g) > workers);
    }
  }
  assert.match(app.err, new RegExp('dostrel: response to 127\\.0\\.0\\.1:\\d+ for GET /hangs not ' +
    'finished after 2000 ms \\(responseTimeout\\): connection reset'));
  assert.equal(count(app.err, /starting another/g), 3, app.err);

  // The graceful stop's grace period runs out with an answer unfinished.
  const hanging = gateway(dir, port(), '/hangs');
  await until('the request in flight', () => count(app.out, /serving \/hangs/g) === 2);
  app.child.kill('SIGTERM');
  answer = await hanging;
  assert.equal(answer.status, 1, answer.stderr);
  assert.match(answer.stderr, ERROR_11);
  assert.match(app.err, /requests still running after 500 ms; exiting, their connections reset/);
  assert.deepEqual(await app.exited, { code: 0, signal: null });
});

test('a plain server killed by a signal it does not handle resets what is in progress', async (t) => {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'dostrel-abnormal-'));
  const app = startCluster({ PLAIN: '1' });
  t.after(() => {
    app.stop();
    fs.rmSync(dir, { recursive: true, force: true });
  });
  await until('the server', () => /listening on 127\.0\.0\.1:(\d+)/.test(app.out));
  const hanging = gateway(dir, Number(/listening on 127\.0\.0\.1:(\d+)/.exec(app.out)[1]), '/hangs');
  await until('the request in flight', () => app.out.includes('serving /hangs'));
  app.child.kill('SIGTERM');
  const answer = await hanging;
  assert.equal(answer.status, 1, answer.stderr);
  assert.match(answer.stderr, ERROR_11);
  assert.deepEqual(await app.exited, { code: null, signal: 'SIGTERM' }, 'it dies of the signal still');
});

test('a SIGTERM to the whole process group stops the cluster with no fork after it', async (t) => {
  for (let attempt = 0; attempt < 3; attempt++) {
    const app = startCluster({ WORKERS: '3' });
    t.after(app.stop);
    await until('three workers', () => count(app.out, /listening on/g) === 3);
    const loaded = count(app.out, /loaded in/g);
    assert.equal(loaded, 4, 'the primary and three workers');
    const started = Date.now();
    process.kill(-app.child.pid, 'SIGTERM'); // as a terminal's Ctrl-C, or systemd, does
    assert.deepEqual(await app.exited, { code: 0, signal: null });
    console.log(`attempt ${attempt}: stopped in ${Date.now() - started} ms`);
    assert.equal(count(app.out, /loaded in/g), loaded, `a fork after the signal: ${app.out}`);
    assert.doesNotMatch(app.err, /starting another/);
  }
});
