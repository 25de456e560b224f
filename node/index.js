// index.js -- the dostrel package: node:http style application servers behind the gateway.
'use strict';

const { Server, createServer } = require('./lib/server');
const { cluster } = require('./lib/cluster');
const { DEFAULT_LIMITS } = require('./lib/decoder');

module.exports = { createServer, Server, cluster, DEFAULT_LIMITS };
