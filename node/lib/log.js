// log.js -- where refusals and handler errors go: one line each, to stderr unless told otherwise.
'use strict';

function writeStderr(line) {
  process.stderr.write(line + '\n');
}

function discard() {}

/// The logger option as a function (line, info): the default (stderr), false or null (nothing),
/// a function, or an object with an error method (console, most logging libraries).
function createLogger(option) {
  if (option === undefined || option === true) return writeStderr;
  if (option === false || option === null) return discard;
  if (typeof option === 'function') return option;
  if (option && typeof option.error === 'function') return (line) => option.error(line);
  throw new TypeError('dostrel: option logger must be a function, an object with error(), or false');
}

module.exports = { createLogger };
