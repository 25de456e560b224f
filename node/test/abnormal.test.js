// abnormal.test.js -- every answer cut short reaches the real gateway as a reset, so that it
// reports error 11 and exits 1; whole answers end with exit 0; a group SIGTERM forks nothing.
'use strict';

const assert = require('node:assert/strict');
const { spawn } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { test } = require('node:test');
const { buildDir, startApp } = require('./support/web');
const { cgiVariables, encodeRequest, exchange } = require('./support/link');

const APP = path.join(__dirname, 'fixtures/abnormal-app.js');
const ERROR_11 = /dostrel: error 11: Error receivng data on socket/;
const count = (text, pattern) => (text.match(pattern) || []).length;
const start = (env) => startApp(APP, env, [], { group: true });

async function until(what, condition) {
  for (let waited = 0; !condition(); waited += 25) {
    if (waited > 20000) throw new Error(`timed out waiting for ${what}`);
    await new Promise((resolve) => setTimeout(resolve, 25));
  }
}

/// The gateway as a web server starts it for one request: {status, head (lines), body, stderr}.
function gateway(port, pathInfo, method = 'GET') {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'dostrel-abnormal-'));
  fs.writeFileSync(path.join(dir, 'dostrel.cnf'), `link * tcp 127.0.0.1 ${port}\n`);
  const env = { GATEWAY_INTERFACE: 'CGI/1.1', REQUEST_METHOD: method, PATH_INFO: pathInfo,
    SCRIPT_NAME: '/cgi-bin/dostrel', SERVER_PROTOCOL: 'HTTP/1.1', REMOTE_ADDR: '127.0.0.1' };
  const started = Date.now();
  const child = spawn(path.join(buildDir(), 'dostrel'), [], { cwd: dir, env });
  const out = [];
  let stderr = '';
  child.stdout.on('data', (chunk) => out.push(chunk));
  child.stderr.on('data', (chunk) => { stderr += chunk; });
  const timer = setTimeout(() => child.kill('SIGKILL'), 60000); // a hang fails, never waits
  return new Promise((resolve) => child.on('close', (status) => {
    clearTimeout(timer);
    console.log(`${method} ${pathInfo}: exit ${status} after ${Date.now() - started} ms`);
    fs.rmSync(dir, { recursive: true, force: true });
    const data = Buffer.concat(out);
    const end = data.indexOf('\r\n\r\n');
    resolve({ status, stderr, head: data.toString('latin1', 0, Math.max(end, 0)).split('\r\n'),
      body: data.subarray(end < 0 ? data.length : end + 4) });
  }));
}

/// A SIGTERM with /hangs in flight (the SERVING-th): the gateway reports the reset.
async function stoppedInFlight(app, port, serving) {
  const hanging = gateway(port, '/hangs');
  await until('the request in flight', () => count(app.stdout(), /serving \/hangs/g) === serving);
  app.child.kill('SIGTERM');
  const answer = await hanging;
  assert.deepEqual([answer.status, ERROR_11.test(answer.stderr)], [1, true], answer.stderr);
}

test('cut answers are resets through the gateway; whole ones complete', async (t) => {
  const app = await start({ RESPONSE_TIMEOUT: '2000', SHUTDOWN_TIMEOUT: '500' });
  t.after(app.stop);
  // The newest worker's port: a cluster whose only worker died listens anew, on another port.
  const port = () => Number([...app.stdout().matchAll(/listening on 127\.0\.0\.1:(\d+)/g)].pop()[1]);
  const lengths = (head) => head.filter((line) => /^content-length:/i.test(line));
  // Whole answers: exit 0, no error line; end(data) declares the length, a stream does not.
  for (const [method, pathInfo, size, declared] of [
    ['GET', '/whole', 327680, ['Content-Length: 327680']], ['GET', '/stream', 327680, []],
    ['GET', '/declared', 65536, ['Content-Length: 65536']], ['HEAD', '/whole', 0, []],
    ['GET', '/empty', 0, []]]) {
    const answer = await gateway(port(), pathInfo, method);
    assert.deepEqual([answer.status, answer.stderr, answer.body.length, lengths(answer.head)],
      [0, '', size, declared], `${method} ${pathInfo}`);
    if (pathInfo === '/declared') assert.deepEqual(answer.head.slice(1), [...declared, 'X-Mine: 1']);
  }

  for (const cut of ['/throws', '/rejects', '/res-destroy', '/socket-destroy', '/pipeline',
    '/express/next-error', '/hangs', '/express/async-throw', '/exits', '/crashes']) {
    const workers = count(app.stdout(), /listening on/g);
    const answer = await gateway(port(), cut);
    assert.equal(answer.status, 1, `${cut}: ${answer.stderr}`);
    assert.match(answer.stderr, ERROR_11, cut);
    // A synchronous throw comes while node:http still holds the first block (it corks the socket
    // for a tick), and the reset drops it; everywhere else the block went out before the cut.
    if (cut !== '/throws') assert.ok(answer.body.length >= 65536, cut);
    if (/async-throw|exits|crashes/.test(cut)) {
      await until(`a new worker after ${cut}`, () => count(app.stdout(), /listening on/g) > workers);
    }
  }
  // A connection whose request is still arriving is reset too when its worker dies.
  const worker = Number([...app.stdout().matchAll(/ pid (\d+)/g)].pop()[1]);
  const sockets = () => fs.readdirSync(`/proc/${worker}/fd`).filter((fd) => {
    try { return fs.readlinkSync(`/proc/${worker}/fd/${fd}`).startsWith('socket:'); } catch { return false; }
  }).length;
  const [before, workers] = [sockets(), count(app.stdout(), /listening on/g)];
  const held = exchange(port(), encodeRequest(cgiVariables('GET', '/')).subarray(0, 30));
  await until('the accept', () => sockets() > before);
  assert.equal((await gateway(port(), '/exits')).status, 1);
  assert.equal((await held).error?.code, 'ECONNRESET', 'an orderly close of an accepted connection');
  await until('a new worker', () => count(app.stdout(), /listening on/g) > workers);

  assert.match(app.stderr(), new RegExp('dostrel: response to 127\\.0\\.0\\.1:\\d+ for GET /hangs ' +
    'not finished after 2000 ms \\(responseTimeout\\): connection reset'));

  // The graceful stop's grace period runs out with an answer unfinished.
  await stoppedInFlight(app, port(), 2);
  assert.match(app.stderr(), /still running after 500 ms; exiting, their connections reset/);
  assert.deepEqual(await app.exited, { code: 0, signal: null });
});

test('a stop signal ends a plain server gracefully, with or without signal-exit listening', async (t) => {
  for (const signalExit of ['', '1']) {
    const app = await start({ PLAIN: '1', SHUTDOWN_TIMEOUT: '2000', SIGNAL_EXIT: signalExit });
    t.after(app.stop);
    assert.equal((await gateway(app.port, '/whole')).status, 0);
    const graceful = gateway(app.port, '/after-sigterm');
    await until('the request in flight', () => /serving \/after-sigterm/.test(app.stdout()));
    // /hangs is reset when the grace period ends; /after-sigterm is answered whole before.
    await stoppedInFlight(app, app.port, 1);
    const answer = await graceful;
    assert.deepEqual([answer.status, answer.body.length], [0, 131072], answer.stderr);
    assert.match(app.stderr(), /SIGTERM: closing the server on 127\.0\.0\.1:\d+/);
    const ended = await Promise.race([app.exited, new Promise((r) => setTimeout(r, 30000, 'running'))]);
    assert.deepEqual(ended, { code: null, signal: 'SIGTERM' }, `it dies of the signal (${signalExit})`);
  }
});

test('a SIGTERM to the whole process group stops the cluster with no fork after it', async (t) => {
  for (let attempt = 0; attempt < 3; attempt++) {
    const app = await start({ WORKERS: '3' });
    t.after(app.stop);
    await until('three workers', () => count(app.stdout(), /listening on/g) === 3);
    assert.equal(count(app.stdout(), /loaded in/g), 4, 'the primary and three workers');
    const started = Date.now();
    process.kill(-app.child.pid, 'SIGTERM'); // as a terminal's Ctrl-C, or systemd, does
    assert.deepEqual(await app.exited, { code: 0, signal: null });
    console.log(`attempt ${attempt}: stopped in ${Date.now() - started} ms`);
    assert.equal(count(app.stdout(), /loaded in/g), 4, `a fork after the signal: ${app.stdout()}`);
    assert.doesNotMatch(app.stderr(), /starting another/);
  }
});
