// types.test.js -- index.d.ts and the guide's TypeScript (test/fixtures/types-check.ts) compile
// with tsc --strict under the TypeScript in devDependencies, which loads no @types by itself.
'use strict';

const assert = require('node:assert/strict');
const { execFileSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { test } = require('node:test');

const PACKAGE = path.resolve(__dirname, '..');
const TSC = path.join(PACKAGE, 'node_modules/.bin/tsc');
const OPTIONS = ['--strict', '--noEmit', '--module', 'nodenext', '--moduleResolution', 'nodenext',
  '--target', 'es2022'];

/// tsc's output and exit status for the given files.
function tsc(...files) {
  try {
    return { status: 0, output: execFileSync(TSC, [...OPTIONS, ...files], { cwd: PACKAGE,
      encoding: 'utf8', stdio: 'pipe' }) };
  } catch (err) {
    return { status: err.status, output: `${err.stdout}${err.stderr}` };
  }
}

test('the declarations and the guide\'s TypeScript compile with tsc --strict', () => {
  const version = execFileSync(TSC, ['--version'], { encoding: 'utf8' }).trim();
  const own = tsc('index.d.ts');
  assert.equal(own.status, 0, `index.d.ts under ${version}:\n${own.output}`);
  const guide = tsc('test/fixtures/types-check.ts');
  assert.equal(guide.status, 0, `types-check.ts under ${version}:\n${guide.output}`);
});

test('tsc checks the declarations: a misuse of them is an error', (t) => {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'dostrel-types-'));
  t.after(() => fs.rmSync(dir, { recursive: true, force: true }));
  const file = path.join(dir, 'misuse.ts');
  fs.writeFileSync(file, `import { createServer } from ${JSON.stringify(path.join(PACKAGE, 'index.js'))};
createServer((req, res) => {
  const length: number = req.cgi.CONTENT_LENGTH;
  res.end(String(length));
});
createServer({ requestTimeout: '30s' });
`);
  const result = tsc(file);
  assert.notEqual(result.status, 0);
  assert.match(result.output, /misuse\.ts\(3,9\): error TS2322/);
  assert.match(result.output, /misuse\.ts\(6,\d+\): error TS2/);
});
