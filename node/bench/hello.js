// hello.js -- the benchmark's application servers: Express's hello world, a plain handler, or
// the floor: node:net and the request decoder alone, answering a fixed response.
// Usage: node hello.js express|plain|floor|cluster; prints "listening on 127.0.0.1:PORT".
// cluster: the plain handler in WORKERS (2) processes of the cluster helper; the environment's
// NODE_CLUSTER_SCHED_POLICY (rr or none) chooses who accepts.
'use strict';

const net = require('node:net');
const { cluster, createServer } = require('..');
const { createDecoder, decode, DONE, REFUSED } = require('../lib/decoder');

const kind = process.argv[2];
let handler;
if (kind === 'express') {
  const app = require('express')();
  app.get('/', (req, res) => res.send('Hello, world!'));
  handler = app;
} else if (kind === 'plain' || kind === 'cluster') {
  handler = (req, res) => {
    res.setHeader('Content-Type', 'text/plain');
    res.end('Hello, world!');
  };
} else if (kind !== 'floor') {
  throw new Error('usage: node hello.js express|plain|floor|cluster');
}

// What Node costs before any request or response object exists.
function floorServer() {
  const answer = 'Status: 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 13\r\n\r\nHello, world!';
  return net.createServer({ noDelay: true }, (socket) => {
    const d = createDecoder();
    socket.on('error', () => {});
    socket.on('data', (chunk) => {
      let at = 0;
      while (at < chunk.length && d.phase !== DONE && d.phase !== REFUSED) {
        at += decode(d, chunk, at);
        d.headReady = false;
        d.body = null;
      }
      if (d.phase === DONE) socket.end(answer);
      else if (d.phase === REFUSED) socket.destroy();
    });
  });
}

function listen(server) {
  return server.listen(0, '127.0.0.1', () => console.log(`listening on 127.0.0.1:${server.address().port}`));
}

if (kind === 'cluster') {
  cluster({ workers: Number(process.env.WORKERS || 2) }, () => listen(createServer(handler)));
} else {
  const server = listen(kind === 'floor' ? floorServer() : createServer(handler));
  process.on('SIGTERM', () => server.close(() => process.exit(0)));
}
