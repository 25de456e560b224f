// decoder.js -- the link request decoder: an incremental state machine over one request's bytes.
'use strict';

const COOKIE = 0x09231963;
const CONTENT_KEY = 'XBRENNOX_CONTENT_DATA';

const DEFAULT_LIMITS = Object.freeze({
  maxKeys: 10000,
  maxVariableBytes: 1048576,
  maxBodyBytes: 1073741824,
});

// Phases, in the order of the fields on the wire.
const COOKIE_FIELD = 0;
const MAJOR = 1;
const MINOR = 2;
const COUNT = 3;
const NAME_LENGTH = 4;
const NAME = 5;
const VALUE_LENGTH = 6;
const VALUE = 7;
const CONTENT_NAME_LENGTH = 8;
const CONTENT_NAME = 9;
const BODY_LENGTH = 10;
const BODY = 11;
const DONE = 12;
const REFUSED = 13;

// Bytes as latin1 text, one character per byte; latin1Slice skips toString's argument checks.
const latin1 = typeof Buffer.prototype.latin1Slice === 'function'
  ? (buffer, start, end) => buffer.latin1Slice(start, end)
  : (buffer, start, end) => buffer.toString('latin1', start, end);

// Indexed by phase: true where the field is a 32-bit number.
const IS_NUMBER = [];
for (const phase of [COOKIE_FIELD, MAJOR, MINOR, COUNT, NAME_LENGTH, VALUE_LENGTH,
  CONTENT_NAME_LENGTH, BODY_LENGTH]) {
  IS_NUMBER[phase] = true;
}

/// A fresh decoder for one request, with the limits it enforces.
function createDecoder(limits = DEFAULT_LIMITS) {
  return {
    limits,
    phase: COOKIE_FIELD,
    // A number split across chunks: its bytes so far, and how many.
    number: 0,
    numberBytes: 0,
    // A text split across chunks: the pieces received, and how many bytes are still due.
    pieces: [],
    remaining: 0,
    major: 0,
    minor: 0,
    keyCount: 0,
    keysRead: 0,
    variableBytes: 0,
    name: '',
    variables: [],
    bodyLength: 0,
    // Set by decode() for the caller: the head just completed, a body slice, a refusal.
    headReady: false,
    body: null,
    reason: '',
    detail: '',
  };
}

function refuse(d, reason, detail) {
  d.phase = REFUSED;
  d.reason = reason;
  d.detail = detail;
}

// A complete 32-bit number for the current phase: check it and move to the next field.
function takeNumber(d, n) {
  const limits = d.limits;
  switch (d.phase) {
    case COOKIE_FIELD:
      if (n !== COOKIE) return refuse(d, 'bad-cookie', `cookie ${n.toString(16).padStart(8, '0')}`);
      d.phase = MAJOR;
      return;
    case MAJOR:
      if (n !== 1) return refuse(d, 'unsupported-version', `major version ${n}`);
      d.major = n;
      d.phase = MINOR;
      return;
    case MINOR:
      d.minor = n;
      d.phase = COUNT;
      return;
    case COUNT:
      if (n === 0) return refuse(d, 'missing-content-key', 'key count 0');
      if (n > limits.maxKeys) {
        return refuse(d, 'too-many-keys', `${n} keys, limit ${limits.maxKeys}`);
      }
      d.keyCount = n;
      d.phase = n === 1 ? CONTENT_NAME_LENGTH : NAME_LENGTH;
      return;
    case NAME_LENGTH:
    case VALUE_LENGTH:
      // Checked before a byte of the text is read: a forged length costs nothing.
      if (d.variableBytes + n > limits.maxVariableBytes) {
        return refuse(d, 'variables-too-large',
          `${d.variableBytes + n} bytes of variables, limit ${limits.maxVariableBytes}`);
      }
      d.variableBytes += n;
      d.remaining = n;
      d.phase = d.phase === NAME_LENGTH ? NAME : VALUE;
      if (n === 0) takeText(d, '');
      return;
    case CONTENT_NAME_LENGTH:
      if (n !== CONTENT_KEY.length) {
        return refuse(d, 'missing-content-key', `last key's name is ${n} bytes long`);
      }
      d.remaining = n;
      d.phase = CONTENT_NAME;
      return;
    case BODY_LENGTH:
      if (n > limits.maxBodyBytes) {
        return refuse(d, 'body-too-large', `body of ${n} bytes, limit ${limits.maxBodyBytes}`);
      }
      d.bodyLength = n;
      d.remaining = n;
      d.phase = n === 0 ? DONE : BODY;
      d.headReady = true;
      return;
    default:
      throw new Error(`decoder: number in phase ${d.phase}`);
  }
}

// A complete text for the current phase.
function takeText(d, text) {
  switch (d.phase) {
    case NAME:
      d.name = text;
      d.phase = VALUE_LENGTH;
      return;
    case VALUE:
      d.variables.push([d.name, text]);
      d.keysRead += 1;
      d.phase = d.keysRead === d.keyCount - 1 ? CONTENT_NAME_LENGTH : NAME_LENGTH;
      return;
    case CONTENT_NAME:
      if (text !== CONTENT_KEY) return refuse(d, 'missing-content-key', 'last key is not the content');
      d.phase = BODY_LENGTH;
      return;
    default:
      throw new Error(`decoder: text in phase ${d.phase}`);
  }
}

/// Decodes from chunk[offset..] and returns how many bytes it took. It stops early when the head
/// completes (d.headReady), when it has a body slice (d.body), at a refusal (d.phase ===
/// REFUSED, d.reason), and at the end of the request (d.phase === DONE): it never takes a byte
/// past the request. The caller clears headReady and body before calling again.
function decode(d, chunk, offset = 0) {
  let at = offset;
  const end = chunk.length;
  while (at < end && d.phase < DONE && !d.headReady) {
    if (IS_NUMBER[d.phase] === true) {
      if (d.numberBytes === 0 && end - at >= 4) {
        const n = chunk.readUInt32BE(at);
        at += 4;
        takeNumber(d, n);
      } else {
        d.number = d.number * 256 + chunk[at];
        d.numberBytes += 1;
        at += 1;
        if (d.numberBytes === 4) {
          const n = d.number;
          d.number = 0;
          d.numberBytes = 0;
          takeNumber(d, n);
        }
      }
    } else if (d.phase === BODY) {
      const take = Math.min(d.remaining, end - at);
      d.body = chunk.subarray(at, at + take);
      d.remaining -= take;
      at += take;
      if (d.remaining === 0) d.phase = DONE;
      break;
    } else {
      // A name or value: latin1 keeps every byte as one character.
      const take = Math.min(d.remaining, end - at);
      d.remaining -= take;
      if (d.remaining === 0 && d.pieces.length === 0) {
        takeText(d, latin1(chunk, at, at + take));
      } else {
        // Copied: a slice would keep the whole socket chunk alive.
        d.pieces.push(Buffer.from(chunk.subarray(at, at + take)));
        if (d.remaining === 0) {
          const joined = Buffer.concat(d.pieces);
          const text = latin1(joined, 0, joined.length);
          d.pieces = [];
          takeText(d, text);
        }
      }
      at += take;
    }
  }
  return at - offset;
}

/// The request as far as it was decoded, for the caller once headReady was set.
function head(d) {
  return {
    version: [d.major, d.minor],
    variables: d.variables,
    bodyLength: d.bodyLength,
  };
}

/// Checks and completes limit options: positive integers, the protocol's defaults otherwise.
function resolveLimits(options = {}) {
  const limits = {};
  for (const key of Object.keys(DEFAULT_LIMITS)) {
    const value = options[key] === undefined ? DEFAULT_LIMITS[key] : options[key];
    if (!Number.isSafeInteger(value) || value < 0) {
      throw new RangeError(`dostrel: option ${key} must be a non-negative integer, not ${value}`);
    }
    limits[key] = value;
  }
  return limits;
}

module.exports = {
  COOKIE,
  CONTENT_KEY,
  DEFAULT_LIMITS,
  DONE,
  REFUSED,
  createDecoder,
  decode,
  head,
  resolveLimits,
};
