// frameworks.test.js -- Koa (app.callback()) and Fastify (serverFactory) behind the real gateway
// under lighttpd, as docs/node.md shows them.
'use strict';

const assert = require('node:assert/strict');
const { test } = require('node:test');
const Koa = require('koa');
const { createServer } = require('..');
const { startGateway, request } = require('./support/web');

function listen(server) {
  return new Promise((resolve) => server.listen(0, '127.0.0.1', () => resolve(server.address().port)));
}

test('a Koa application through the gateway', async (t) => {
  const app = new Koa();
  app.use(async (ctx) => {
    const chunks = [];
    for await (const chunk of ctx.req) chunks.push(chunk);
    ctx.set('X-Framework', 'koa');
    ctx.body = { method: ctx.method, path: ctx.path, query: ctx.query,
      body: Buffer.concat(chunks).toString(), script: ctx.req.cgi.SCRIPT_NAME };
  });
  const server = createServer({ logger: false }, app.callback());
  const web = await startGateway(await listen(server));
  t.after(async () => {
    await web.stop();
    await new Promise((resolve) => server.close(resolve));
  });

  const res = await request(`${web.base}/items?x=1`, { method: 'POST', body: 'hello koa',
    headers: { 'Content-Type': 'text/plain' } });
  assert.equal(res.status, 200, String(res.body));
  assert.equal(res.headers['x-framework'], 'koa');
  assert.deepEqual(JSON.parse(res.body), { method: 'POST', path: '/items', query: { x: '1' },
    body: 'hello koa', script: '/cgi-bin/dostrel' });
});

// Fastify 5 runs on Node 20 and later (its "engines"); Debian 12's own Node is 18.
const fastifySkip = Number(process.versions.node.split('.')[0]) < 20 &&
  `Fastify 5 needs Node 20, this is ${process.version}`;

test('a Fastify application through the gateway', { skip: fastifySkip }, async (t) => {
  const Fastify = require('fastify');
  const refusals = [];
  const fastify = Fastify({
    // Fastify's own client-error handler stays in place: it must not get a 400 through.
    serverFactory: (handler) => createServer({ maxBodyBytes: 4096, logger: false }, handler)
      .on('clientError', (err) => refusals.push(err.reason)),
  });
  fastify.post('/items/:id', async (req, reply) => {
    reply.header('X-Framework', 'fastify');
    return { id: req.params.id, query: req.query, body: req.body, script: req.raw.cgi.SCRIPT_NAME };
  });
  await fastify.listen({ port: 0, host: '127.0.0.1' });
  const web = await startGateway(fastify.server.address().port);
  t.after(async () => {
    await web.stop();
    await fastify.close();
  });

  const res = await request(`${web.base}/items/7?x=1`, { method: 'POST',
    body: JSON.stringify({ name: 'é' }), headers: { 'Content-Type': 'application/json' } });
  assert.equal(res.status, 200, String(res.body));
  assert.equal(res.headers['x-framework'], 'fastify');
  assert.deepEqual(JSON.parse(res.body), { id: '7', query: { x: '1' }, body: { name: 'é' },
    script: '/cgi-bin/dostrel' });

  // A body above the server's limit is refused before the application sees it.
  const refused = await request(`${web.base}/items/8`, { method: 'POST', body: 'x'.repeat(5000) });
  assert.equal(refused.status, 500);
  assert.doesNotMatch(String(refused.body), /Client Error/);
  assert.deepEqual(refusals, ['body-too-large']);
});
