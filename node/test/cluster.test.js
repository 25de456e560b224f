// cluster.test.js -- several worker processes on one port, replaced when they die, stopped by
// SIGTERM to the primary without losing the request in flight.
'use strict';

const assert = require('node:assert/strict');
const path = require('node:path');
const { test } = require('node:test');
const { startApp } = require('./support/web');
const { encodeRequest, cgiVariables, exchange, parseCgi } = require('./support/link');

const APP = path.join(__dirname, 'fixtures/cluster-app.js');

async function until(what, condition) {
  for (let i = 0; i < 200; i++) {
    if (condition()) return;
    await new Promise((r) => setTimeout(r, 25));
  }
  throw new Error(`timed out waiting for ${what}`);
}

const workerPids = (stdout) => [...stdout.matchAll(/pid (\d+)/g)].map((m) => Number(m[1]));
const alive = (pid) => {
  try {
    process.kill(pid, 0);
    return true;
  } catch {
    return false;
  }
};

test('cluster: workers share the port, are replaced, and stop gracefully on SIGTERM', async (t) => {
  const app = await startApp(APP);
  t.after(async () => {
    await app.stop();
    for (const pid of workerPids(app.stdout())) if (alive(pid)) process.kill(pid, 'SIGKILL');
  });
  await until('two workers', () => workerPids(app.stdout()).length === 2);
  const get = async (url) => parseCgi((await exchange(app.port, encodeRequest(cgiVariables('GET', url)))).data);

  const answered = new Set();
  for (let i = 0; i < 6; i++) answered.add(Number((await get('/')).body));
  assert.deepEqual([...answered].sort(), workerPids(app.stdout()).sort(), 'both workers answer');

  assert.equal((await get('/crash')).body.toString(), 'crashing');
  await until('a replacement worker', () => workerPids(app.stdout()).length === 3);
  assert.match(app.stderr(), /dostrel: worker \d+ exited \(status 3\); starting another/);
  const crashed = workerPids(app.stdout()).find((pid) => !alive(pid));
  assert.ok(crashed, 'the crashed worker is gone');
  assert.ok(Number((await get('/')).body) > 0, 'the cluster still answers');

  const inFlight = get('/slow');
  await until('the slow request', () => app.stdout().includes('slow request started'));
  app.child.kill('SIGTERM');
  const slow = await inFlight;
  assert.equal(slow.status, '200 OK');
  assert.match(slow.body.toString(), /^slow answer from \d+$/);
  assert.deepEqual(await app.exited, { code: 0, signal: null }, 'the primary exits when its workers have');
  for (const pid of workerPids(app.stdout())) assert.equal(alive(pid), false, `worker ${pid} has exited`);
});
