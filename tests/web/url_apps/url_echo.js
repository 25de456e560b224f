// url_echo.js PACKAGE -- a Node application on the package at PACKAGE that answers with its
// req.url; prints "listening on 127.0.0.1:PORT".
'use strict';
const { createServer } = require(process.argv[2]);

const server = createServer((req, res) => {
  res.setHeader('Content-Type', 'text/plain');
  res.end(`url=${req.url}\n`);
});
server.listen(0, '127.0.0.1', () => console.log(`listening on 127.0.0.1:${server.address().port}`));
process.on('SIGTERM', () => server.close());
