// web.js -- test harness: the real gateway under lighttpd on 127.0.0.1, and an HTTP client.
'use strict';

const { spawn } = require('node:child_process');
const fs = require('node:fs');
const http = require('node:http');
const net = require('node:net');
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

function lighttpdPath() {
  for (const dir of ['/usr/sbin', '/usr/local/sbin', ...(process.env.PATH || '').split(':')]) {
    const candidate = path.join(dir, 'lighttpd');
    if (fs.existsSync(candidate)) return candidate;
  }
  throw new Error('lighttpd is not installed');
}

/// A port that nothing listens on now (another process may take it before us: callers retry).
function freePort() {
  return new Promise((resolve, reject) => {
    const probe = net.createServer();
    probe.on('error', reject);
    probe.listen(0, '127.0.0.1', () => {
      const { port } = probe.address();
      probe.close(() => resolve(port));
    });
  });
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

async function waitForAnswer(url, child, log) {
  for (let i = 0; i < 100; i++) {
    if (child.exitCode !== null) throw new Error(`lighttpd exited: ${log()}`);
    try {
      await request(url, { timeout: 2000 });
      return;
    } catch {
      await new Promise((r) => setTimeout(r, 50));
    }
  }
  throw new Error(`lighttpd did not answer: ${log()}`);
}

/// Starts lighttpd with the gateway as its CGI program, linking every path to appPort. Returns
/// {base, stop}: base is the URL of the gateway, under which the application's paths follow.
async function startGateway(appPort) {
  const root = fs.mkdtempSync(path.join(os.tmpdir(), 'dostrel-node-'));
  const cgi = path.join(root, 'cgi-bin');
  fs.mkdirSync(cgi);
  fs.mkdirSync(path.join(root, 'logs'));
  fs.mkdirSync(path.join(root, 'htdocs'));
  fs.copyFileSync(path.join(buildDir(), 'dostrel'), path.join(cgi, 'dostrel'));
  fs.chmodSync(path.join(cgi, 'dostrel'), 0o755);
  fs.writeFileSync(path.join(cgi, 'dostrel.cnf'), `link * tcp 127.0.0.1 ${appPort}\n`);
  const template = fs.readFileSync(path.join(SOURCE, 'examples/webservers/lighttpd.conf'), 'utf8');
  let lastError;
  for (let attempt = 0; attempt < 5; attempt++) {
    const port = await freePort();
    const config = path.join(root, 'lighttpd.conf');
    fs.writeFileSync(config, template.replaceAll('@ROOT@', root).replaceAll('@PORT@', String(port)));
    let stderr = '';
    const child = spawn(lighttpdPath(), ['-D', '-f', config], { stdio: ['ignore', 'ignore', 'pipe'] });
    child.stderr.on('data', (chunk) => {
      stderr += chunk;
    });
    const exited = new Promise((resolve) => child.on('exit', resolve));
    try {
      await waitForAnswer(`http://127.0.0.1:${port}/`, child, () => stderr);
    } catch (err) {
      lastError = err;
      child.kill();
      await exited;
      continue;
    }
    return {
      base: `http://127.0.0.1:${port}/cgi-bin/dostrel`,
      stderr: () => stderr,
      async stop() {
        if (child.exitCode === null) child.kill();
        await exited;
        fs.rmSync(root, { recursive: true, force: true });
      },
    };
  }
  fs.rmSync(root, { recursive: true, force: true });
  throw lastError;
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

module.exports = { SOURCE, buildDir, freePort, request, startGateway, startApp, memoryOf };
