// web.js -- test harness: the real gateway under lighttpd on 127.0.0.1, and an HTTP client.
'use strict';

const { spawn } = require('node:child_process');
const fs = require('node:fs');
const http = require('node:http');
const os = require('node:os');
const path = require('node:path');

const SOURCE = path.resolve(__dirname, '../../..');

/// The gateway's build directory: DOSTREL_BUILD, else build-node in the source tree.
function buildDir() {
  const dir = process.env.DOSTREL_BUILD || path.join(SOURCE, 'build-node');
  if (!fs.existsSync(path.join(dir, 'dostrel'))) {
    throw new Error(`no gateway in ${dir}: build it or set DOSTREL_BUILD`);
  }
  return dir;
}

/// Plain HTTP request; resolves with {status, headers, body}.
function request(url, { method = 'GET', headers = {}, body, timeout = 30000 } = {}) {
  return new Promise((resolve, reject) => {
    const req = http.request(url, { method, headers, agent: false, timeout }, (res) => {
      const chunks = [];
      res.on('data', (chunk) => chunks.push(chunk));
      res.on('end', () => resolve({ status: res.statusCode, headers: res.headers,
        body: Buffer.concat(chunks) }));
      res.on('error', reject);
    });
    req.on('timeout', () => req.destroy(new Error(`request to ${url} timed out`)));
    req.on('error', reject);
    req.end(body);
  });
}

/// Starts lighttpd with the gateway as its CGI program, linking every path to appPort, by the
/// shared web harness (tests/support/web_gateway.sh). Returns {base, stderr(), stop()}: base is
/// the URL of the gateway, under which the application's paths follow.
async function startGateway(appPort) {
  const root = fs.mkdtempSync(path.join(os.tmpdir(), 'dostrel-node-'));
  const child = spawn('bash', [path.join(SOURCE, 'tests/support/web_gateway.sh'), buildDir(), root,
    String(appPort)], { stdio: ['ignore', 'pipe', 'pipe'] });
  let stdout = '';
  let stderr = '';
  child.stderr.on('data', (chunk) => {
    stderr += chunk;
  });
  const exited = new Promise((resolve) => child.on('exit', resolve));
  const address = await new Promise((resolve) => {
    child.stdout.on('data', (chunk) => {
      stdout += chunk;
      const listening = /^listening on (\S+)$/m.exec(stdout);
      if (listening) resolve(listening[1]);
    });
    exited.then(() => resolve(null));
  });
  const stop = async () => {
    if (child.exitCode === null) child.kill();
    await exited;
    fs.rmSync(root, { recursive: true, force: true });
  };
  if (!address) {
    await stop();
    throw new Error(`lighttpd did not start: ${stderr}`);
  }
  return { base: `http://${address}/cgi-bin/dostrel`, stderr: () => stderr, stop };
}

/// Starts a Node program that prints "listening on 127.0.0.1:PORT"; resolves with
/// {port, child, stderr(), stop()}. With group, in a process group of its own, stopped whole.
function startApp(script, env = {}, args = [], { group = false } = {}) {
  return new Promise((resolve, reject) => {
    const child = spawn(process.execPath, [script, ...args], {
      env: { ...process.env, ...env },
      stdio: ['ignore', 'pipe', 'pipe'],
      detached: group,
    });
    let stdout = '';
    let stderr = '';
    const exited = new Promise((r) => child.on('exit', (code, signal) => r({ code, signal })));
    child.stderr.on('data', (chunk) => {
      stderr += chunk;
    });
    child.stdout.on('data', (chunk) => {
      stdout += chunk;
      const match = /listening on 127\.0\.0\.1:(\d+)/.exec(stdout);
      if (match && !child.port) {
        child.port = Number(match[1]);
        resolve({
          port: child.port,
          child,
          exited,
          stdout: () => stdout,
          stderr: () => stderr,
          async stop() {
            if (group) {
              try {
                process.kill(-child.pid, 'SIGKILL'); // workers left behind, if any
              } catch { /* none left */ }
            } else if (child.exitCode === null && child.signalCode === null) child.kill('SIGKILL');
            return exited;
          },
        });
      }
    });
    exited.then(({ code, signal }) => {
      if (!child.port) reject(new Error(`${script} exited (${code ?? signal}): ${stderr}`));
    });
  });
}

/// Peak resident set (VmHWM) and current one (VmRSS) of a process, in KiB.
function memoryOf(pid) {
  const status = fs.readFileSync(`/proc/${pid}/status`, 'utf8');
  const field = (name) => Number(new RegExp(`^${name}:\\s+(\\d+) kB`, 'm').exec(status)[1]);
  return { peak: field('VmHWM'), current: field('VmRSS') };
}

module.exports = { SOURCE, buildDir, request, startGateway, startApp, memoryOf };
