// link.js -- test helpers that speak the link protocol as the gateway does: encode and send.
'use strict';

const net = require('node:net');

/// The bytes of a link request: variables as [name, value] latin1 strings, a Buffer body.
function encodeRequest(variables, body = Buffer.alloc(0), version = [1, 0]) {
  const parts = [];
  const number = (n) => {
    const b = Buffer.alloc(4);
    b.writeUInt32BE(n);
    parts.push(b);
  };
  const text = (value) => {
    const b = Buffer.isBuffer(value) ? value : Buffer.from(value, 'latin1');
    number(b.length);
    parts.push(b);
  };
  number(0x09231963);
  number(version[0]);
  number(version[1]);
  number(variables.length + 1);
  for (const [name, value] of variables) {
    text(name);
    text(value);
  }
  text('XBRENNOX_CONTENT_DATA');
  text(body);
  return Buffer.concat(parts);
}

/// The CGI variables a web server sets for a request, plus any extra ones.
function cgiVariables(method, path, query = '', extra = []) {
  return [
    ['GATEWAY_INTERFACE', 'CGI/1.1'],
    ['SERVER_PROTOCOL', 'HTTP/1.1'],
    ['REQUEST_METHOD', method],
    ['SCRIPT_NAME', '/cgi-bin/dostrel'],
    ['PATH_INFO', path],
    ['QUERY_STRING', query],
    ['REMOTE_ADDR', '192.0.2.7'],
    ['REMOTE_PORT', '40123'],
    ['HTTP_HOST', 'app.example'],
    ...extra,
  ];
}

/// Sends bytes to a server and collects everything it answers until it closes. Resolves with
/// {data, error}: error is the socket error that ended it, if one did.
function exchange(port, bytes, { host = '127.0.0.1', localAddress, halfClose = false } = {}) {
  return new Promise((resolve) => {
    const socket = net.connect({ port, host, localAddress });
    const chunks = [];
    let error = null;
    socket.on('connect', () => {
      if (bytes.length) socket.write(bytes);
      if (halfClose) socket.end();
    });
    socket.on('data', (chunk) => chunks.push(chunk));
    socket.on('error', (err) => {
      error = err;
    });
    socket.on('close', () => resolve({ data: Buffer.concat(chunks), error }));
  });
}

/// A CGI response split into its status, headers (lower-case names, arrays) and body.
function parseCgi(data) {
  const end = data.indexOf('\r\n\r\n');
  if (end < 0) throw new Error(`no CGI head in ${JSON.stringify(data.toString('latin1', 0, 200))}`);
  const headers = {};
  for (const line of data.toString('latin1', 0, end).split('\r\n')) {
    const colon = line.indexOf(':');
    const name = line.slice(0, colon).toLowerCase();
    (headers[name] ||= []).push(line.slice(colon + 1).trim());
  }
  return { status: headers.status?.[0], headers, body: data.subarray(end + 4) };
}

module.exports = { encodeRequest, cgiVariables, exchange, parseCgi };
