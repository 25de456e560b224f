// request.js -- turns a link request's CGI variables into a real http.IncomingMessage.
'use strict';

const http = require('node:http');

// Variables that become headers under their own names: the web server's copies in HTTP_ form
// (HTTP_CONTENT_LENGTH, HTTP_CONTENT_TYPE) are ignored, and HTTP_PROXY never becomes "proxy".
const CONTENT_HEADERS = { CONTENT_TYPE: 'content-type', CONTENT_LENGTH: 'content-length' };
const SKIPPED_HTTP = new Set(['HTTP_PROXY', 'HTTP_CONTENT_LENGTH', 'HTTP_CONTENT_TYPE']);

// Bytes a path may carry as they are; everything else is percent-encoded again, since the web
// server decoded PATH_INFO and applications expect req.url in its encoded form.
const PATH_SAFE = /^[A-Za-z0-9\-._~!$&'()*+,;=:@/]*$/;

/// PATH_INFO (a latin1 string of the decoded path's bytes) in the encoded form of a URL path.
function encodePath(pathInfo) {
  if (PATH_SAFE.test(pathInfo)) return pathInfo;
  let out = '';
  for (let i = 0; i < pathInfo.length; i++) {
    const c = pathInfo[i];
    if (PATH_SAFE.test(c)) {
      out += c;
    } else {
      out += '%' + pathInfo.charCodeAt(i).toString(16).toUpperCase().padStart(2, '0');
    }
  }
  return out;
}

const HEX_PAIR = /^[0-9A-Fa-f]{2}$/;

/// REQUEST_URI's path around what PATH_INFO names (both latin1 strings, a character a byte):
/// { prefix, tail } of the raw path, the tail being its shortest end whose percent-decoding is
/// PATH_INFO byte for byte. null where REQUEST_URI is no path or does not end in PATH_INFO (a
/// web server that normalised the path).
function splitRequestUri(requestUri, pathInfo) {
  const raw = (requestUri || '').split('?', 1)[0];
  if (!raw.startsWith('/')) return null;
  const starts = [];
  let decoded = '';
  for (let i = 0; i < raw.length;) {
    starts.push(i);
    if (raw[i] === '%' && HEX_PAIR.test(raw.slice(i + 1, i + 3))) {
      decoded += String.fromCharCode(parseInt(raw.slice(i + 1, i + 3), 16));
      i += 3;
    } else {
      decoded += raw[i];
      i += 1;
    }
  }
  // Each decoded character came from one piece of the raw path: the tail that decodes to
  // PATH_INFO starts at the piece as many from the end as PATH_INFO is long.
  const first = decoded.length - pathInfo.length;
  if (first < 0 || decoded.slice(first) !== pathInfo) return null;
  const cut = first < starts.length ? starts[first] : raw.length;
  return { prefix: raw.slice(0, cut), tail: raw.slice(cut) };
}

// The same few dozen header names come with every request: convert each once. Bounded, since
// clients choose the names.
const headerNameCache = new Map();
const HEADER_NAME_CACHE_SIZE = 512;

/// "HTTP_ACCEPT_LANGUAGE" -> ["accept-language", "Accept-Language"]
function headerNames(variable) {
  let names = headerNameCache.get(variable);
  if (names === undefined) {
    const lower = variable.slice(5).toLowerCase().replace(/_/g, '-');
    const raw = lower.replace(/(^|-)([a-z])/g, (m, dash, letter) => dash + letter.toUpperCase());
    names = [lower, raw];
    if (headerNameCache.size < HEADER_NAME_CACHE_SIZE) headerNameCache.set(variable, names);
  }
  return names;
}

/// The variables as the application sees them in req.cgi: name -> value, the first of repeated
/// names, HTTP_PROXY left out. No prototype, so no name can reach Object.prototype.
function cgiTable(variables) {
  const cgi = Object.create(null);
  for (const [name, value] of variables) {
    if (name === 'HTTP_PROXY' || name in cgi) continue;
    cgi[name] = value;
  }
  return cgi;
}

/// A request message over the link socket. Its body is pushed by the connection as it arrives.
function createRequest(socket, variables, bodyLength) {
  const cgi = cgiTable(variables);
  const req = new http.IncomingMessage(socket);
  req.method = cgi.REQUEST_METHOD || 'GET';
  // The path as the client wrote it, below the public prefix; encoded again from PATH_INFO
  // where REQUEST_URI does not end in it.
  const split = cgi.PATH_INFO ? splitRequestUri(cgi.REQUEST_URI, cgi.PATH_INFO) : null;
  const path = split ? split.tail : cgi.PATH_INFO ? encodePath(cgi.PATH_INFO) : '/';
  const query = cgi.QUERY_STRING;
  req.url = (path.startsWith('/') ? path : '/' + path) + (query ? '?' + query : '');

  const version = /^HTTP\/(\d+)\.(\d+)$/.exec(cgi.SERVER_PROTOCOL || '');
  req.httpVersionMajor = version ? Number(version[1]) : 1;
  req.httpVersionMinor = version ? Number(version[2]) : 1;
  req.httpVersion = `${req.httpVersionMajor}.${req.httpVersionMinor}`;

  const headers = {};
  const rawHeaders = [];
  for (const name in cgi) {
    let lower;
    let raw;
    if (name in CONTENT_HEADERS) {
      // CONTENT_LENGTH is set below from the real body length; an empty type is no type.
      if (name === 'CONTENT_LENGTH' || cgi[name] === '') continue;
      lower = CONTENT_HEADERS[name];
      raw = 'Content-Type';
    } else if (name.startsWith('HTTP_') && name.length > 5 && !SKIPPED_HTTP.has(name)) {
      [lower, raw] = headerNames(name);
    } else {
      continue;
    }
    headers[lower] = cgi[name];
    rawHeaders.push(raw, cgi[name]);
  }
  // The body is the content key's value whatever CONTENT_LENGTH says; body parsers compare the
  // two, so the header tells the truth.
  if (bodyLength > 0 || cgi.CONTENT_LENGTH !== undefined) {
    headers['content-length'] = String(bodyLength);
    rawHeaders.push('Content-Length', String(bodyLength));
  }
  req.headers = headers;
  req.rawHeaders = rawHeaders;
  req.cgi = cgi;
  return req;
}

/// Makes the socket report the HTTP client, as the web server saw it, where node:http reports
/// the TCP peer: remoteAddress, remotePort, remoteFamily and encrypted.
function presentClient(socket, cgi) {
  const address = cgi.REMOTE_ADDR || '';
  const port = Number(cgi.REMOTE_PORT);
  const define = (key, value) =>
    Object.defineProperty(socket, key, { value, configurable: true, writable: true });
  define('remoteAddress', address || undefined);
  define('remotePort', Number.isInteger(port) && port > 0 ? port : undefined);
  define('remoteFamily', address.includes(':') ? 'IPv6' : address ? 'IPv4' : undefined);
  const https = (cgi.HTTPS || '').toLowerCase();
  define('encrypted', https === 'on' || https === '1' ? true : undefined);
}

module.exports = { createRequest, presentClient, encodePath, cgiTable, splitRequestUri };
