// cluster.js -- one port, several processes: a primary that keeps N workers, each running a
// server, and a graceful stop on SIGTERM or SIGINT.
'use strict';

const nodeCluster = require('node:cluster');
const os = require('node:os');
const { createLogger } = require('./log');
const { takeStopSignals } = require('./server');

const STOP_MESSAGE = 'dostrel:stop';
// A worker that dies sooner than this after its start is replaced after a pause, not at once,
// so that an application failing at start-up does not fork in a tight loop.
const QUICK_DEATH_MS = 1000;

function resolveOptions(options) {
  const parallelism = typeof os.availableParallelism === 'function'
    ? os.availableParallelism() : os.cpus().length;
  const workers = options.workers === undefined ? parallelism : options.workers;
  if (!Number.isSafeInteger(workers) || workers < 1) {
    throw new RangeError(`dostrel: option workers must be a positive integer, not ${workers}`);
  }
  const shutdownTimeout = options.shutdownTimeout === undefined ? 30000 : options.shutdownTimeout;
  if (!Number.isFinite(shutdownTimeout) || shutdownTimeout <= 0) {
    throw new RangeError(`dostrel: option shutdownTimeout must be a number of ms > 0`);
  }
  return { workers, shutdownTimeout, log: createLogger(options.logger) };
}

function runPrimary({ workers, shutdownTimeout, log }) {
  // Each worker accepts its own connections from the shared socket, unless the environment's
  // NODE_CLUSTER_SCHED_POLICY chooses. Node's default on Linux, round-robin, has the primary
  // accept every connection and pass it on: the primary then caps the rate, and its memory and
  // descriptors grow with a burst (bench/node.sh measures both).
  if (!process.env.NODE_CLUSTER_SCHED_POLICY) nodeCluster.schedulingPolicy = nodeCluster.SCHED_NONE;
  let stopping = false;
  let killTimer = null;
  const started = new Map(); // worker id -> start time

  const fork = () => {
    const worker = nodeCluster.fork();
    started.set(worker.id, Date.now());
  };
  const onExit = (worker, code, signal) => {
    const lived = Date.now() - (started.get(worker.id) || 0);
    started.delete(worker.id);
    if (stopping) {
      if (Object.keys(nodeCluster.workers).length === 0) finish();
      return;
    }
    // A turn later: a stop signal to the whole process group (Ctrl-C, systemd) may end a worker
    // before the primary's own signal event has run; once stopping, nothing is forked.
    setImmediate(() => {
      if (stopping) return;
      log(`dostrel: worker ${worker.process.pid} exited (${signal || `status ${code}`}); ` +
        'starting another', { type: 'worker-exit', pid: worker.process.pid, code, signal });
      if (lived < QUICK_DEATH_MS) setTimeout(() => stopping || fork(), QUICK_DEATH_MS);
      else fork();
    });
  };
  const stop = () => {
    if (stopping) return;
    stopping = true;
    for (const worker of Object.values(nodeCluster.workers)) {
      if (worker.isConnected()) worker.send(STOP_MESSAGE);
    }
    // Workers stop within their own time-out; this one only catches a worker that hangs.
    killTimer = setTimeout(() => {
      for (const worker of Object.values(nodeCluster.workers)) worker.process.kill('SIGKILL');
    }, shutdownTimeout + 2000);
    if (Object.keys(nodeCluster.workers).length === 0) finish();
  };
  const finish = () => {
    clearTimeout(killTimer);
    process.removeListener('SIGTERM', stop);
    process.removeListener('SIGINT', stop);
    nodeCluster.removeListener('exit', onExit);
  };

  nodeCluster.on('exit', onExit);
  process.on('SIGTERM', stop);
  process.on('SIGINT', stop);
  for (let i = 0; i < workers; i++) fork();
  return { isPrimary: true, stop };
}

function runWorker(start, { shutdownTimeout, log }) {
  let server = null;
  let stopping = false;
  const stop = () => {
    if (stopping) return;
    stopping = true;
    setTimeout(() => {
      log(`dostrel: worker ${process.pid}: requests still running after ${shutdownTimeout} ms; ` +
        'exiting, their connections reset', { type: 'shutdown-timeout', pid: process.pid });
      process.exit(1);
    }, shutdownTimeout).unref();
    if (server) server.close(() => process.exit(0));
  };
  process.on('message', (message) => {
    if (message === STOP_MESSAGE) stop();
  });
  // Ctrl-C reaches the whole process group, and systemd signals every process of the unit.
  process.on('SIGTERM', stop);
  process.on('SIGINT', stop);
  takeStopSignals(['SIGTERM', 'SIGINT']); // the server's own stop would race this one
  process.on('disconnect', stop); // the primary is gone
  Promise.resolve()
    .then(start)
    .then((result) => {
      if (!result || typeof result.close !== 'function') {
        throw new TypeError('dostrel: the cluster start function must return the server');
      }
      server = result;
      if (stopping) server.close(() => process.exit(0));
    })
    .catch((err) => {
      log(`dostrel: worker ${process.pid} failed to start: ${err && err.stack}`, {
        type: 'worker-start-error',
        error: err,
      });
      process.exit(1);
    });
  return { isPrimary: false, stop };
}

/// cluster([options], start): in the primary, forks the workers and keeps them running; in each
/// worker, calls start() (which returns the listening server, or a promise of it). SIGTERM or
/// SIGINT stops every worker gracefully: no new connections, requests in flight finish.
function cluster(options, start) {
  if (typeof options === 'function') {
    start = options;
    options = {};
  }
  if (typeof start !== 'function') throw new TypeError('dostrel: cluster needs a start function');
  const resolved = resolveOptions(options || {});
  return nodeCluster.isPrimary ? runPrimary(resolved) : runWorker(start, resolved);
}

module.exports = { cluster };
