// Package dostrel serves http.Handlers behind the dostrel CGI gateway.
//
// The gateway, started by a web server once per HTTP request, forwards the whole CGI request
// over one TCP connection in the link protocol and relays the answer. This package is the
// other end: it accepts those connections, reads each request whole (a request still
// arriving costs a goroutine and its bytes, never a handler run), and calls the handler with a
// real *http.Request and an http.ResponseWriter that writes a CGI response.
//
//	l, err := net.Listen("tcp", "127.0.0.1:9000")
//	if err != nil {
//		log.Fatal(err)
//	}
//	log.Fatal(dostrel.Serve(l, mux)) // as fcgi.Serve; nil means http.DefaultServeMux
//
// A Server gives the limits, the time limits, an allow-list and the life cycle of
// http.Server: Shutdown stops accepting, takes what waits in the listen backlog, and lets
// everything finish; Close stops at once.
//
// The request's URL.Path is the CGI PATH_INFO, the application's own path below the public
// prefix (empty where the web server hands the whole site to the gateway, "/cgi-bin/dostrel"
// under the gateway's own URL), so routers match the application's routes; EscapedPath keeps
// the client's encoding and RequestURI is the client's whole target. Prefix gives the public
// prefix, PublicPath hands a handler the whole public path, and Variables gives every CGI
// variable. The ResponseWriter is an http.Flusher (streaming and Server-Sent Events pass
// through) and not an http.Hijacker: the connection carries one CGI response and nothing
// else. A response that cannot be completed (a panic after the first bytes, a failed write,
// the WriteTimeout, Shutdown's context ending) ends with a TCP reset, which the gateway
// reports, never with the orderly close that ends a whole response.
package dostrel
