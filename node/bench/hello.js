// hello.js -- the benchmark's application servers: Express's hello world, a plain handler, or
// the floor: node:net and the request decoder alone, answering a fixed response.
// Usage: node hello.js express|plain|floor; prints "listening on 127.0.0.1:PORT".
'use strict';

const net = require('node:net');
const { createServer } = require('..');
const { createDecoder, decode, DONE, REFUSED } = require('../lib/decoder');

const kind = process.argv[2];
let handler;
if (kind === 'express') {
  const app = require('express')();
  app.get('/', (req, res) => res.send('Hello, world!'));
  handler = app;
} else if (kind === 'plain') {
  handler = (req, res) => {
    res.setHeader('Content-Type', 'text/plain');
    res.end('Hello, world!');
  };
} else if (kind !== 'floor') {
  throw new Error('usage: node hello.js express|plain|floor');
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

const server = kind === 'floor' ? floorServer() : createServer(handler);
server.listen(0, '127.0.0.1', () => console.log(`listening on 127.0.0.1:${server.address().port}`));
process.on('SIGTERM', () => server.close(() => process.exit(0)));
