// response.js -- a real http.ServerResponse that writes a CGI response instead of an HTTP one.
'use strict';

const http = require('node:http');

const storeHttpHeader = http.OutgoingMessage.prototype._storeHeader;

// The web server frames the response for HTTP: these headers are its business, never ours.
const HOP_BY_HOP = /^(?:connection|transfer-encoding|keep-alive):/i;

const NODE_TAILS = ['Connection: close\r\n\r\n', 'Connection: close\r\nTransfer-Encoding: chunked\r\n\r\n'];
const ANY_HOP_BY_HOP = /\r\n(?:connection|transfer-encoding|keep-alive):/i;

/// "HTTP/1.1 404 Not Found\r\nA: b\r\n\r\n" -> "Status: 404 Not Found\r\nA: b\r\n\r\n"
function cgiHead(httpHead) {
  // Usually the only hop-by-hop headers are the ones Node appends last: cut them off.
  for (const tail of NODE_TAILS) {
    if (httpHead.endsWith(tail)) {
      const rest = httpHead.slice(0, httpHead.length - tail.length);
      if (!ANY_HOP_BY_HOP.test(rest)) return 'Status:' + rest.slice(rest.indexOf(' ')) + '\r\n';
      break;
    }
  }
  const lines = httpHead.split('\r\n');
  let head = 'Status: ' + lines[0].slice(lines[0].indexOf(' ') + 1) + '\r\n';
  // The last two entries are the empty strings after the final CR LF pair.
  for (let i = 1; i < lines.length - 2; i++) {
    if (!HOP_BY_HOP.test(lines[i])) head += lines[i] + '\r\n';
  }
  return head + '\r\n';
}

// Node builds the HTTP head and decides on chunked encoding here. Let it, then put the head in
// CGI form and take the chunking back: a CGI body is the raw bytes.
function storeCgiHeader(firstLine, headers) {
  storeHttpHeader.call(this, firstLine, headers);
  this.chunkedEncoding = false;
  this._header = cgiHead(this._header);
}

// Interim responses do not exist in CGI; the gateway has read the whole body already.
function noInterimResponse() {}

/// The response to req, written to the link socket. The overrides are own properties, so they
/// survive Express replacing the prototype with its own (which inherits from ServerResponse's).
function createResponse(req, socket) {
  const res = new http.ServerResponse(req);
  res.sendDate = false;
  res.shouldKeepAlive = false;
  // With chunking as the default, Node announces Content-Length when end(data) comes before the
  // head; otherwise it chooses chunked framing, which storeCgiHeader takes back.
  res.useChunkedEncodingByDefault = true;
  res._storeHeader = storeCgiHeader;
  res.writeContinue = noInterimResponse;
  res.writeProcessing = noInterimResponse;
  res.writeEarlyHints = noInterimResponse;
  res.assignSocket(socket);
  // node:http's server relays the socket's drain to the response; so do we.
  socket.on('drain', () => {
    if (res.writableNeedDrain) res.emit('drain');
  });
  return res;
}

module.exports = { createResponse, cgiHead };
