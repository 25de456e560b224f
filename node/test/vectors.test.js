// vectors.test.js -- the shared link protocol vectors, through the decoder and through a server.
'use strict';

const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { test } = require('node:test');
const { createDecoder, decode, head, resolveLimits, DONE, REFUSED } = require('../lib/decoder');
const { createServer } = require('..');
const { exchange, parseCgi } = require('./support/link');

const DIR = path.resolve(__dirname, '../../tests/vectors');

function loadVectors() {
  return fs.readdirSync(DIR).filter((f) => f.endsWith('.json')).sort().map((file) => {
    const name = file.slice(0, -5);
    const json = JSON.parse(fs.readFileSync(path.join(DIR, file), 'utf8'));
    const limits = json.limits || {};
    return {
      name,
      json,
      bin: fs.readFileSync(path.join(DIR, `${name}.bin`)),
      options: { maxKeys: limits.max_keys, maxVariableBytes: limits.max_variable_bytes,
        maxBodyBytes: limits.max_body_bytes },
    };
  });
}

/// Feeds the pieces in order; the outcome, the body and how many bytes the decoder took.
function run(options, pieces) {
  const d = createDecoder(resolveLimits(options));
  const body = [];
  let used = 0;
  let heads = 0;
  for (const piece of pieces) {
    let at = 0;
    while (at < piece.length && d.phase !== DONE && d.phase !== REFUSED) {
      at += decode(d, piece, at);
      if (d.headReady) {
        d.headReady = false;
        heads += 1;
      }
      if (d.body) {
        body.push(Buffer.from(d.body));
        d.body = null;
      }
    }
    used += at;
  }
  const outcome = d.phase === DONE ? 'accept' : d.phase === REFUSED ? d.reason : 'truncated';
  return { outcome, head: d.phase === DONE ? head(d) : null, body: Buffer.concat(body), used, heads };
}

function expectedOf(json) {
  return {
    variables: json.variables.map(([n, v]) => [n, v]),
    body: Buffer.from(json.body_base64, 'base64'),
  };
}

const vectors = loadVectors();

test('the decoder meets every shared vector, whole, a byte at a time, with bytes after it', async (t) => {
  assert.ok(vectors.length >= 30, `only ${vectors.length} vectors found in ${DIR}`);
  for (const vector of vectors) {
    const { json, bin, options } = vector;
    await t.test(vector.name, () => {
      const bytes = [...bin].map((b) => Buffer.of(b));
      const extra = Buffer.from('EXTRA BYTES');
      const ways = [['whole', [bin]], ['byte by byte', bytes]];
      if (json.expect === 'accept') ways.push(['followed by extra bytes', [Buffer.concat([bin, extra])]]);
      for (const [how, pieces] of ways) {
        const got = run(options, pieces);
        if (json.expect === 'refuse') {
          assert.equal(got.outcome, json.reason, `${how}: ${json.description}`);
          continue;
        }
        assert.equal(got.outcome, 'accept', `${how}: ${json.description}`);
        assert.equal(got.heads, 1, `${how}: the head is reported once`);
        assert.deepEqual(got.head.version, json.version, how);
        const expected = expectedOf(json);
        assert.deepEqual(got.head.variables, expected.variables, how);
        assert.ok(got.body.equals(expected.body), `${how}: the body`);
        assert.equal(got.used, bin.length, `${how}: no byte past the request is taken`);
      }
    });
  }
});

test('a server answers every accepted vector and refuses the others with their reason', async (t) => {
  for (const vector of vectors) {
    const { json, bin, options } = vector;
    await t.test(vector.name, async () => {
      const refusals = [];
      const logged = [];
      const server = createServer({ ...options, logger: (line) => logged.push(line) }, (req, res) => {
        const chunks = [];
        req.on('data', (chunk) => chunks.push(chunk));
        req.on('end', () => {
          res.setHeader('Content-Type', 'application/json');
          res.end(JSON.stringify({ cgi: Object.entries(req.cgi),
            body: Buffer.concat(chunks).toString('base64') }));
        });
      });
      server.on('clientError', (err) => refusals.push(err.reason));
      await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
      try {
        // Half-closed after the bytes: a truncated request then meets the end of the stream.
        const { data } = await exchange(server.address().port, bin, { halfClose: true });
        if (json.expect === 'refuse') {
          assert.equal(data.length, 0, 'a refused request gets no byte');
          assert.deepEqual(refusals, [json.reason]);
          assert.equal(logged.length, 1);
          assert.match(logged[0], new RegExp(`^dostrel: refused 127\\.0\\.0\\.1:\\d+: ${json.reason} \\(`));
          return;
        }
        const answer = parseCgi(data);
        assert.equal(answer.status, '200 OK');
        const got = JSON.parse(answer.body.toString('utf8'));
        const expected = expectedOf(json);
        // req.cgi keeps the first of repeated names, as getenv does.
        const firsts = expected.variables.filter(([n], i, all) => all.findIndex(([m]) => m === n) === i);
        assert.deepEqual(got.cgi.sort(), firsts.sort());
        assert.equal(got.body, expected.body.toString('base64'));
        assert.deepEqual(refusals, []);
      } finally {
        await new Promise((resolve) => server.close(resolve));
      }
    });
  }
});
