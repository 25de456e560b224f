// server.js -- the application server: accepts link connections, decodes them, runs the handler.
'use strict';

const net = require('node:net');
const { createDecoder, decode, head, resolveLimits, DONE, REFUSED } = require('./decoder');
const { createRequest, presentClient } = require('./request');
const { createResponse } = require('./response');
const { createLogger } = require('./log');

const DEFAULT_REQUEST_TIMEOUT = 30000;
// A handler may stream for long without holding up others, so the default is node:http's
// requestTimeout, not the 30 s of the Python server, whose stuck worker stops a whole process.
const DEFAULT_RESPONSE_TIMEOUT = 300000;
// What a stop signal waits for the requests in flight, as the cluster helper's default.
const DEFAULT_SHUTDOWN_TIMEOUT = 30000;
// Event-loop turns that close() waits, at most, for the kernel's backlog to be accepted.
const MAX_DRAIN_TURNS = 50;

const kAccepted = Symbol('accepted');
const kClosing = Symbol('closing');

/// "127.0.0.1", "::1"; an IPv4 address mapped into IPv6 as its IPv4 form.
function normalizeAddress(address) {
  if (typeof address !== 'string') return '';
  const mapped = /^::ffff:(\d+\.\d+\.\d+\.\d+)$/i.exec(address);
  return (mapped ? mapped[1] : address).toLowerCase();
}

function resolveAllow(allow) {
  if (allow === undefined || allow === null) return null;
  if (!Array.isArray(allow)) throw new TypeError('dostrel: option allow must be an array of addresses');
  const set = new Set();
  for (const entry of allow) {
    if (net.isIP(String(entry)) === 0) {
      throw new TypeError(`dostrel: option allow: '${entry}' is not an IP address`);
    }
    set.add(normalizeAddress(String(entry)));
  }
  return set;
}

function resolveTimeout(name, value, fallback) {
  if (value === undefined) return fallback;
  if (!Number.isFinite(value) || value < 0) {
    throw new RangeError(`dostrel: option ${name} must be a number of ms >= 0, not ${value}`);
  }
  return value;
}

class Server extends net.Server {
  constructor(options, handler) {
    if (typeof options === 'function') {
      handler = options;
      options = undefined;
    }
    options = options || {};
    // Half-open: a peer that shuts down its sending side after a complete request still gets
    // its answer.
    super({ allowHalfOpen: true, noDelay: true });
    this.limits = resolveLimits(options);
    this.requestTimeout = resolveTimeout('requestTimeout', options.requestTimeout, DEFAULT_REQUEST_TIMEOUT);
    this.responseTimeout = resolveTimeout('responseTimeout', options.responseTimeout,
      DEFAULT_RESPONSE_TIMEOUT);
    this.shutdownTimeout = resolveTimeout('shutdownTimeout', options.shutdownTimeout,
      DEFAULT_SHUTDOWN_TIMEOUT);
    this.allow = resolveAllow(options.allow);
    this.log = createLogger(options.logger);
    if (options.maxConnections !== undefined) {
      if (!Number.isSafeInteger(options.maxConnections) || options.maxConnections < 1) {
        throw new RangeError(`dostrel: option maxConnections must be a positive integer`);
      }
      this.maxConnections = options.maxConnections;
    }
    this[kAccepted] = 0;
    this[kClosing] = false;
    if (handler !== undefined) {
      if (typeof handler !== 'function') throw new TypeError('dostrel: the handler must be a function');
      this.on('request', handler);
    }
    this.on('connection', onConnection);
    this.on('listening', () => {
      listening.add(this);
      hookSignals();
    });
    this.on('close', () => {
      listening.delete(this);
      if (listening.size === 0 && !stopping) unhookSignals();
    });
    // net.Server's maxConnections closes what is over it unannounced: say so.
    this.on('drop', (data) => {
      this.log(`dostrel: dropped a connection from ${data?.remoteAddress}:${data?.remotePort}: ` +
        `maxConnections (${this.maxConnections}) reached`, { type: 'dropped', peer: data?.remoteAddress });
    });
  }

  /// Stops accepting, after taking the connections already waiting in the kernel's backlog
  /// (closing a listener resets them); 'close' follows when every connection has finished.
  close(callback) {
    if (this[kClosing] || !this.listening) {
      if (this[kClosing] && typeof callback === 'function') this.once('close', callback);
      else net.Server.prototype.close.call(this, callback);
      return this;
    }
    this[kClosing] = true;
    let seen = this[kAccepted];
    let turns = 0;
    // Two setImmediate hops span a poll phase, where libuv accepts whatever is pending.
    const turn = () => setImmediate(() => setImmediate(() => {
      if (this[kAccepted] !== seen && ++turns < MAX_DRAIN_TURNS) {
        seen = this[kAccepted];
        turn();
      } else {
        net.Server.prototype.close.call(this, callback);
      }
    }));
    turn();
    return this;
  }
}

// The TCP peer, read through net.Socket's own accessors: the socket's remoteAddress is made to
// report the HTTP client once the request is known.
const socketAddress = Object.getOwnPropertyDescriptor(net.Socket.prototype, 'remoteAddress').get;
const socketPort = Object.getOwnPropertyDescriptor(net.Socket.prototype, 'remotePort').get;

/// "127.0.0.1:5000", "[::1]:5000".
function peerOf(socket) {
  const address = normalizeAddress(socketAddress.call(socket));
  const port = socketPort.call(socket);
  return address.includes(':') ? `[${address}]:${port}` : `${address}:${port}`;
}

function onConnection(socket) {
  const server = this;
  server[kAccepted] += 1;
  const conn = {
    server,
    socket,
    peer: peerOf(socket), // read now: once reset, a socket no longer knows its peer
    decoder: null,
    req: null,
    res: null,
    timer: null,
    responseTimer: null,
    complete: false,
    responded: false,
    refused: false,
  };
  socket.on('error', (err) => onSocketError(conn, err));
  // From the accept until the response's end a close is a reset (see below): a process that
  // dies with this request still arriving must not pass an empty answer for a good one.
  holdForReset(socket);
  if (server.allow && !server.allow.has(normalizeAddress(socketAddress.call(socket)))) {
    refuse(conn, 'not-allowed', 'peer not on the allow-list');
    return;
  }
  conn.decoder = createDecoder(server.limits);
  if (server.requestTimeout > 0) {
    conn.timer = setTimeout(() => {
      refuse(conn, 'timeout', `request incomplete after ${server.requestTimeout} ms`);
    }, server.requestTimeout);
  }
  socket.on('data', (chunk) => onData(conn, chunk));
  socket.on('end', () => {
    if (!conn.complete) refuse(conn, 'truncated', 'connection ended before the request was complete');
  });
  socket.on('close', () => {
    clearTimeout(conn.timer);
    clearTimeout(conn.responseTimer);
    inProgress.delete(socket);
  });
}

function onSocketError(conn, err) {
  // After the request, an error means the gateway went away (its client left): nothing to log.
  if (!conn.complete) refuse(conn, 'truncated', `connection failed: ${err.code || err.message}`);
}

function onData(conn, chunk) {
  const d = conn.decoder;
  if (conn.refused || d.phase === DONE) return; // the gateway sends nothing after a request
  let at = 0;
  while (at < chunk.length && d.phase !== DONE) {
    at += decode(d, chunk, at);
    if (d.phase === REFUSED) {
      refuse(conn, d.reason, d.detail);
      return;
    }
    if (d.headReady) {
      d.headReady = false;
      startRequest(conn);
      if (conn.refused || conn.socket.destroyed) return; // the handler ended it already
    }
    if (d.body) {
      const body = d.body;
      d.body = null;
      // Back-pressure: IncomingMessage's _read resumes the socket when the consumer wants more.
      if (!conn.req.push(body) && d.phase !== DONE) conn.socket.pause();
    }
    if (d.phase === DONE) completeRequest(conn);
  }
}

function startRequest(conn) {
  const { socket, server } = conn;
  const { variables, bodyLength } = head(conn.decoder);
  const req = createRequest(socket, variables, bodyLength);
  presentClient(socket, req.cgi);
  const res = createResponse(req, socket);
  conn.req = req;
  conn.res = res;
  res.on('finish', () => onResponseFinished(conn));
  beginResponse(conn);
  dispatch(server, req, res);
}

function completeRequest(conn) {
  conn.complete = true;
  clearTimeout(conn.timer);
  conn.req.complete = true;
  conn.req.push(null);
  if (conn.responded) conn.socket.destroySoon();
}

function onResponseFinished(conn) {
  conn.responded = true;
  endResponse(conn);
  if (conn.complete) {
    conn.socket.destroySoon();
  } else if (!conn.req.readableDidRead && conn.req.readableFlowing !== true) {
    // Nobody reads the rest of the body: take it off the wire before closing, since closing a
    // socket with unread bytes resets the connection and the gateway would lose the response.
    conn.req.resume();
  }
}

function refuse(conn, reason, detail) {
  if (conn.refused) return;
  conn.refused = true;
  clearTimeout(conn.timer);
  const { server, socket, req } = conn;
  server.log(`dostrel: refused ${conn.peer}: ${reason} (${detail})`, {
    type: 'refused',
    reason,
    detail,
    peer: conn.peer,
  });
  const err = new Error(`link request refused: ${reason} (${detail})`);
  err.code = 'ERR_DOSTREL_REFUSED';
  err.reason = reason;
  err.peer = conn.peer;
  // Closed before the listeners hear of it: handlers written for node:http (Fastify's default
  // one) answer a client error with an HTTP 400, which the gateway would relay as the answer.
  // A refusal closes in order: nothing was asked of the application.
  inProgress.delete(socket);
  socket.destroy();
  server.emit('clientError', err, socket);
  // A request already handed to the application is aborted, as node:http aborts one whose
  // client went away; an 'error' reaches it only if it listens.
  if (req && !req.destroyed) req.destroy(err);
}

// -- responses that do not end normally --------------------------------------------------------
//
// The gateway takes an orderly close for the end of a complete response, and a reset for a
// failed one (its error 11, exit 1, a line in the web server's error log). So from the accept
// until the response's 'finish', every way the connection can end other than a refusal is a
// reset: a destroy of the socket or the response (res.destroy(), socket.destroy(), a failed
// stream.pipeline, Express' and Koa's error handling once headers are out), the response time
// limit, and the process's exit (process.exit(), an uncaught exception, an unhandled rejection,
// a grace period running out). Only SIGKILL is beyond reach: node has no way to set a socket's
// linger without closing it, so the kernel then closes in order.

const inProgress = new Set(); // sockets accepted whose response has not finished
const kResetting = Symbol('resetting');
let exitHooked = false;

function holdForReset(socket) {
  inProgress.add(socket);
  socket.destroy = destroyInProgress;
  if (!exitHooked) {
    exitHooked = true;
    // Synchronous: libuv sets the linger and closes the descriptor at once.
    process.on('exit', resetAll);
  }
}

function beginResponse(conn) {
  const { server } = conn;
  if (server.responseTimeout > 0) {
    conn.responseTimer = setTimeout(() => responseTimedOut(conn), server.responseTimeout);
  }
}

function endResponse(conn) {
  clearTimeout(conn.responseTimer);
  inProgress.delete(conn.socket);
}

/// socket.destroy while the response is in progress: a reset instead of an orderly close.
function destroyInProgress(err) {
  if (this[kResetting] || !inProgress.has(this) || this.destroyed || !this._handle) {
    return net.Socket.prototype.destroy.call(this, err);
  }
  this[kResetting] = true;
  inProgress.delete(this);
  // resetAndDestroy sets zero linger and destroys (through this method again); the error, if
  // any, still reaches the socket's 'error' listeners.
  if (err) process.nextTick(() => this.emit('error', err));
  try {
    return this.resetAndDestroy();
  } catch {
    return net.Socket.prototype.destroy.call(this); // not TCP (a Unix socket): no reset exists
  }
}

function resetAll() {
  for (const socket of inProgress) socket.destroy();
}

// -- stop signals -------------------------------------------------------------------------------
//
// A stop signal stops every listening server gracefully, whoever else listens for it: each takes
// what waits in its backlog and stops accepting, and the requests in flight finish (those still
// running after the longest shutdownTimeout, or at a second signal, are reset). Then the signal is
// raised again with this package's listener gone, so the process ends as it would without the
// package: by the signal where nobody else listens, or as the other listeners decide (libraries
// such as signal-exit act only once their own listeners are alone). Leaving the signal alone when
// another listener exists, as a library's does, would leave both waiting on each other.

const STOP_SIGNALS = ['SIGTERM', 'SIGINT', 'SIGHUP'];
const listening = new Set(); // servers of this process that listen
const handlers = new Map(); // signal name -> this package's listener
const takenSignals = new Set(); // signals the cluster helper's worker stops on itself
let stopping = null; // the signal being served

function hookSignals() {
  for (const name of STOP_SIGNALS) {
    if (handlers.has(name) || takenSignals.has(name)) continue;
    const handler = () => onStopSignal(name);
    handlers.set(name, handler);
    process.on(name, handler);
  }
}

function unhookSignals() {
  for (const [name, handler] of handlers) process.removeListener(name, handler);
  handlers.clear();
}

/// The cluster helper's workers stop on these signals themselves, within its own grace period.
function takeStopSignals(names) {
  for (const name of names) {
    takenSignals.add(name);
    const handler = handlers.get(name);
    if (handler) process.removeListener(name, handler);
    handlers.delete(name);
  }
}

function onStopSignal(name) {
  if (stopping) {
    dieOf(stopping); // a second signal: what is in progress is reset at once
    return;
  }
  stopping = name;
  const servers = [...listening];
  let open = servers.length;
  const grace = Math.max(0, ...servers.map((server) => server.shutdownTimeout));
  for (const server of servers) {
    server.log(`dostrel: ${name}: closing the server on ${describeAddress(server)}; requests in ` +
      `flight have ${grace} ms to finish`, { type: 'stopping', signal: name });
  }
  const timer = setTimeout(() => {
    for (const server of servers) {
      server.log(`dostrel: requests still running after ${grace} ms (shutdownTimeout): ` +
        'their connections reset', { type: 'shutdown-timeout', signal: name });
    }
    dieOf(name);
  }, grace);
  timer.unref();
  const closed = () => {
    if (--open > 0) return;
    clearTimeout(timer);
    // A turn later: an application's own listener that exits once its server has closed does.
    setImmediate(() => dieOf(name));
  };
  if (open === 0) closed();
  for (const server of servers) server.close(closed);
}

function dieOf(name) {
  resetAll();
  unhookSignals();
  process.kill(process.pid, name);
}

function describeAddress(server) {
  const address = server.address();
  return address && typeof address === 'object' ? `${address.address}:${address.port}` : String(address);
}

function responseTimedOut(conn) {
  const { server, req, socket } = conn;
  const ms = server.responseTimeout;
  server.log(`dostrel: response to ${conn.peer} for ${req.method} ${req.url} not finished after ` +
    `${ms} ms (responseTimeout): connection reset`, {
    type: 'response-timeout',
    peer: conn.peer,
    method: req.method,
    url: req.url,
  });
  socket.destroy();
}

/// Runs every 'request' listener; a throw or a rejected promise answers 500 if nothing was sent
/// yet, and resets the connection otherwise, so that the response cannot pass for complete.
function dispatch(server, req, res) {
  const listeners = server.listeners('request');
  if (listeners.length === 0) {
    handlerFailed(server, req, res, new Error('no request handler'));
    return;
  }
  for (const listener of listeners) {
    try {
      const result = listener.call(server, req, res);
      if (result && typeof result.then === 'function') {
        result.then(undefined, (err) => handlerFailed(server, req, res, err));
      }
    } catch (err) {
      handlerFailed(server, req, res, err);
    }
  }
}

function handlerFailed(server, req, res, err) {
  const description = err instanceof Error ? err.stack : String(err);
  server.log(`dostrel: request handler failed for ${req.method} ${req.url}: ${description}`, {
    type: 'handler-error',
    error: err,
    method: req.method,
    url: req.url,
  });
  if (res.writableEnded) return;
  if (!res.headersSent) {
    for (const name of res.getHeaderNames()) res.removeHeader(name);
    res.statusCode = 500;
    res.statusMessage = '';
    res.setHeader('Content-Type', 'text/plain; charset=utf-8');
    res.end('Internal Server Error\n');
  } else {
    res.destroy(); // a reset: the response is in progress
  }
}

/// http.createServer's shape: createServer([options], handler).
function createServer(options, handler) {
  return new Server(options, handler);
}

module.exports = { Server, createServer, normalizeAddress, takeStopSignals };
