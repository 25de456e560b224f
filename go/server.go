// server.go -- the application server: accepts link connections, reads each request whole, runs
// the handler, and stops as http.Server does.

package dostrel

import (
	"bufio"
	"context"
	"errors"
	"fmt"
	"log"
	"net"
	"net/http"
	"net/netip"
	"runtime"
	"strings"
	"sync"
	"sync/atomic"
	"time"
)

// DefaultReadTimeout is the time a request has to arrive in full, from the accept.
const DefaultReadTimeout = 30 * time.Second

// How long Shutdown waits for the listen backlog to yield one more connection before closing
// the listener.
const backlogWait = 50 * time.Millisecond

// ErrServerClosed is what Serve and ListenAndServe return after Shutdown or Close.
var ErrServerClosed = http.ErrServerClosed

// A Server serves link connections from the gateway with an http.Handler. The zero value is
// ready to use: every limit then has the protocol's default.
type Server struct {
	// Addr is the TCP address ListenAndServe listens on; empty means DefaultAddr. Bind the
	// loopback address or a private one: whoever connects can claim any CGI variable.
	Addr string

	// Handler serves each request; nil means http.DefaultServeMux.
	Handler http.Handler

	// MaxKeys bounds the key count of a request (the content key included); 0 means
	// DefaultMaxKeys. Over it: "too-many-keys".
	MaxKeys int
	// MaxVariableBytes bounds the names and values of all variables together; 0 means
	// DefaultMaxVariableBytes. Over it: "variables-too-large".
	MaxVariableBytes int
	// MaxBodyBytes bounds the request body; 0 means DefaultMaxBodyBytes. Over it:
	// "body-too-large".
	MaxBodyBytes int64
	// BodyMemoryBytes is the largest body kept in memory; longer ones go to an unlinked
	// temporary file in os.TempDir. 0 means DefaultBodyMemoryBytes.
	BodyMemoryBytes int64

	// ReadTimeout is the time the whole request has to arrive, from the accept; idle and
	// stalled connections are dropped when it passes ("timeout"). 0 means DefaultReadTimeout,
	// a negative value no limit.
	ReadTimeout time.Duration
	// WriteTimeout bounds the handler's run and the writing of its response, from the end
	// of the request; writes after it fail, and the connection is reset. 0 means no limit.
	WriteTimeout time.Duration

	// Allow lists the addresses ("10.0.0.7", "::1") and CIDR blocks ("10.0.0.0/24") that may
	// connect; a peer not on it is refused at the accept ("not-allowed"). Empty: any peer.
	Allow []string

	// MaxConnections bounds the connections held at once, read or served; past it, new
	// connections wait in the listen backlog. 0 means no limit.
	MaxConnections int

	// ErrorLog receives one line per refusal, handler panic and broken response; nil means
	// the log package's standard logger.
	ErrorLog *log.Logger

	// BaseContext, if set, gives the base context of the requests accepted on a listener.
	BaseContext func(net.Listener) context.Context

	mu         sync.Mutex
	listeners  map[*net.Listener]struct{}
	conns      map[*conn]struct{}
	slots      chan struct{}
	allow      []netip.Prefix
	ready      bool
	setupErr   error
	inShutdown atomic.Bool
	draining   chan struct{} // closed by Shutdown: the accept loops take the backlog and stop
	drainOnce  sync.Once
	loops      sync.WaitGroup
	lim        limits
}

// Serve accepts connections on l and serves each request with handler, as fcgi.Serve does; a
// nil handler means http.DefaultServeMux. It returns only when accepting fails.
func Serve(l net.Listener, handler http.Handler) error {
	srv := &Server{Handler: handler}
	return srv.Serve(l)
}

// DefaultAddr is where ListenAndServe listens when given no address, as the project's other
// application servers do.
const DefaultAddr = "127.0.0.1:9000"

// ListenAndServe listens on the TCP address srv.Addr (DefaultAddr if empty) and calls Serve,
// as http.Server's does. An address given as the argument, the package's earlier form, takes
// the place of srv.Addr when it is not empty.
func (srv *Server) ListenAndServe(addr ...string) error {
	if srv.inShutdown.Load() {
		return ErrServerClosed
	}
	if len(addr) > 1 {
		return fmt.Errorf("dostrel: ListenAndServe takes one address at most, not %d", len(addr))
	}
	listen := srv.Addr
	if len(addr) == 1 && addr[0] != "" {
		listen = addr[0]
	}
	if listen == "" {
		listen = DefaultAddr
	}
	return srv.listenAndServe(listen)
}

func (srv *Server) listenAndServe(addr string) error {
	l, err := net.Listen("tcp", addr)
	if err != nil {
		return err
	}
	return srv.Serve(l)
}

// setup checks the settings once and fills in the defaults.
func (srv *Server) setup() error {
	srv.mu.Lock()
	defer srv.mu.Unlock()
	if srv.ready {
		return srv.setupErr
	}
	srv.ready = true
	srv.lim = defaultLimits
	if srv.MaxKeys > 0 {
		srv.lim.keys = int64(srv.MaxKeys)
	}
	if srv.MaxVariableBytes > 0 {
		srv.lim.variableBytes = int64(srv.MaxVariableBytes)
	}
	if srv.MaxBodyBytes > 0 {
		srv.lim.bodyBytes = srv.MaxBodyBytes
	}
	if srv.BodyMemoryBytes > 0 {
		srv.lim.bodyMemory = srv.BodyMemoryBytes
	}
	if srv.MaxKeys < 0 || srv.MaxVariableBytes < 0 || srv.MaxBodyBytes < 0 ||
		srv.BodyMemoryBytes < 0 || srv.MaxConnections < 0 {
		srv.setupErr = errors.New("dostrel: negative limit")
	}
	for _, entry := range srv.Allow {
		prefix, err := parseAllowed(entry)
		if err != nil {
			srv.setupErr = err
		}
		srv.allow = append(srv.allow, prefix)
	}
	if srv.MaxConnections > 0 {
		srv.slots = make(chan struct{}, srv.MaxConnections)
	}
	srv.listeners = make(map[*net.Listener]struct{})
	srv.conns = make(map[*conn]struct{})
	srv.draining = make(chan struct{})
	return srv.setupErr
}

func parseAllowed(entry string) (netip.Prefix, error) {
	entry = strings.TrimSpace(entry)
	if strings.Contains(entry, "/") {
		prefix, err := netip.ParsePrefix(entry)
		if err != nil {
			return prefix, fmt.Errorf("dostrel: Allow: %q is not a CIDR block", entry)
		}
		if prefix.Addr().Is4In6() {
			bits := prefix.Bits() - 96
			if bits < 0 {
				bits = 0
			}
			prefix = netip.PrefixFrom(prefix.Addr().Unmap(), bits)
		}
		return prefix.Masked(), nil
	}
	addr, err := netip.ParseAddr(entry)
	if err != nil {
		return netip.Prefix{}, fmt.Errorf("dostrel: Allow: %q is not an IP address", entry)
	}
	addr = addr.Unmap().WithZone("")
	return netip.PrefixFrom(addr, addr.BitLen()), nil
}

func (srv *Server) allowed(addr net.Addr) bool {
	if len(srv.allow) == 0 {
		return true
	}
	tcp, ok := addr.(*net.TCPAddr)
	if !ok {
		return false
	}
	ip, ok := netip.AddrFromSlice(tcp.IP)
	if !ok {
		return false
	}
	ip = ip.Unmap()
	for _, prefix := range srv.allow {
		if prefix.Contains(ip) {
			return true
		}
	}
	return false
}

func (srv *Server) logf(format string, args ...any) {
	if srv.ErrorLog != nil {
		srv.ErrorLog.Printf(format, args...)
	} else {
		log.Printf(format, args...)
	}
}

// Serve accepts connections on l, each served in a goroutine of its own, until Shutdown or
// Close (then it returns ErrServerClosed) or an accept error that is not temporary.
func (srv *Server) Serve(l net.Listener) error {
	if err := srv.setup(); err != nil {
		return err
	}
	srv.mu.Lock()
	if srv.inShutdown.Load() {
		srv.mu.Unlock()
		return ErrServerClosed
	}
	srv.listeners[&l] = struct{}{}
	srv.loops.Add(1)
	srv.mu.Unlock()
	defer func() {
		srv.mu.Lock()
		delete(srv.listeners, &l)
		srv.mu.Unlock()
		l.Close()
		srv.loops.Done()
	}()

	base := context.Background()
	if srv.BaseContext != nil {
		if base = srv.BaseContext(l); base == nil {
			panic("dostrel: BaseContext returned a nil context")
		}
	}
	var backoff time.Duration
	for {
		held := false
		if srv.slots != nil {
			// Past MaxConnections the rest wait in the backlog, unless Shutdown wants them.
			select {
			case srv.slots <- struct{}{}:
				held = true
			case <-srv.draining:
			}
		}
		if srv.inShutdown.Load() {
			if err := srv.startDrain(l); err != nil {
				srv.release(held)
				return ErrServerClosed
			}
		}
		rwc, err := l.Accept()
		if err != nil {
			srv.release(held)
			if srv.inShutdown.Load() {
				return ErrServerClosed
			}
			var netErr net.Error
			if errors.As(err, &netErr) && netErr.Timeout() || isTemporary(err) {
				// Out of descriptors or the like: the connection stays queued; try again.
				if backoff == 0 {
					backoff = 5 * time.Millisecond
				} else if backoff *= 2; backoff > time.Second {
					backoff = time.Second
				}
				srv.logf("dostrel: accept failed: %v; retrying in %v", err, backoff)
				time.Sleep(backoff)
				continue
			}
			return err
		}
		backoff = 0
		c := srv.newConn(rwc, held)
		if c == nil {
			continue
		}
		go c.serve(base)
	}
}

func isTemporary(err error) bool {
	var t interface{ Temporary() bool }
	return errors.As(err, &t) && t.Temporary()
}

// startDrain gives the listener a deadline a little ahead: Accept then takes what the backlog
// holds and fails once it is empty. A listener without deadlines is closed at once.
func (srv *Server) startDrain(l net.Listener) error {
	type deadliner interface{ SetDeadline(time.Time) error }
	if d, ok := l.(deadliner); ok {
		return d.SetDeadline(time.Now().Add(backlogWait))
	}
	return errors.New("no deadline")
}

func (srv *Server) release(held bool) {
	if held {
		<-srv.slots
	}
}

func (srv *Server) newConn(rwc net.Conn, held bool) *conn {
	peer := rwc.RemoteAddr()
	if !srv.allowed(peer) {
		srv.logf("dostrel: refused %s: not-allowed (peer not on the allow-list)", peerString(peer))
		rwc.Close()
		srv.release(held)
		return nil
	}
	// From here until the answer is whole a close is a reset, and so is the death of the
	// process: the gateway then reports a failure instead of taking the orderly close of a
	// process killed before its handler ran for an empty answer.
	if tcp, ok := rwc.(*net.TCPConn); ok {
		tcp.SetLinger(0)
	}
	c := &conn{server: srv, rwc: rwc, peer: peerString(peer), accepted: time.Now(), slot: held}
	srv.mu.Lock()
	srv.conns[c] = struct{}{}
	srv.mu.Unlock()
	return c
}

// peerString gives "127.0.0.1:5000" or "[::1]:5000", an IPv4 address mapped into IPv6 as IPv4.
func peerString(addr net.Addr) string {
	if tcp, ok := addr.(*net.TCPAddr); ok {
		if ip := tcp.IP.To4(); ip != nil {
			return net.JoinHostPort(ip.String(), fmt.Sprint(tcp.Port))
		}
	}
	return addr.String()
}

func (srv *Server) forget(c *conn) {
	srv.mu.Lock()
	delete(srv.conns, c)
	srv.mu.Unlock()
	srv.release(c.slot)
}

// Shutdown stops the server as http.Server's Shutdown does: it stops accepting after taking the
// connections already waiting in the listen backlog, lets every held connection finish (those
// still arriving, those queued, those being served), and returns nil when all are done. If ctx
// ends first, it resets the connections still open, so that no cut response passes for whole,
// and returns ctx's error.
func (srv *Server) Shutdown(ctx context.Context) error {
	srv.setup()
	srv.inShutdown.Store(true)
	srv.drainOnce.Do(func() { close(srv.draining) })
	srv.mu.Lock()
	for l := range srv.listeners {
		if srv.startDrain(*l) != nil {
			// No deadline to wake its Accept: closed at once, the backlog with it.
			(*l).Close()
		}
	}
	srv.mu.Unlock()
	loopsDone := make(chan struct{})
	go func() {
		srv.loops.Wait()
		close(loopsDone)
	}()
	ticker := time.NewTicker(10 * time.Millisecond)
	defer ticker.Stop()
	for {
		select {
		case <-ctx.Done():
			srv.closeListeners()
			srv.resetConns()
			return ctx.Err()
		case <-ticker.C:
		}
		select {
		case <-loopsDone:
			srv.mu.Lock()
			open := len(srv.conns)
			srv.mu.Unlock()
			if open == 0 {
				return nil
			}
		default:
		}
	}
}

// Close closes the listeners at once and resets every connection, whatever its state.
func (srv *Server) Close() error {
	srv.setup()
	srv.inShutdown.Store(true)
	srv.drainOnce.Do(func() { close(srv.draining) })
	err := srv.closeListeners()
	srv.resetConns()
	return err
}

func (srv *Server) closeListeners() error {
	srv.mu.Lock()
	defer srv.mu.Unlock()
	var err error
	for l := range srv.listeners {
		if cerr := (*l).Close(); cerr != nil && err == nil {
			err = cerr
		}
	}
	return err
}

func (srv *Server) resetConns() {
	srv.mu.Lock()
	defer srv.mu.Unlock()
	for c := range srv.conns {
		c.reset()
	}
}

// The buffers of the connections, used again: most requests and answers are small.
var (
	readers = sync.Pool{New: func() any { return bufio.NewReaderSize(nil, 4<<10) }}
	writers = sync.Pool{New: func() any { return bufio.NewWriterSize(nil, 32<<10) }}
)

// conn is one link connection.
type conn struct {
	server   *Server
	rwc      net.Conn
	out      *bufio.Writer
	peer     string
	accepted time.Time
	slot     bool // holds one of the MaxConnections slots
	resetMu  sync.Mutex
	wasReset bool
}

// reset ends the connection with a TCP reset: the gateway reports a broken response (error
// 11) instead of relaying a cut one as complete.
func (c *conn) reset() {
	c.resetMu.Lock()
	defer c.resetMu.Unlock()
	if c.wasReset {
		return
	}
	c.wasReset = true
	if tcp, ok := c.rwc.(*net.TCPConn); ok {
		tcp.SetLinger(0)
	}
	c.rwc.Close()
}

// closeInOrder ends the connection with the orderly close of a whole answer or a refusal.
func (c *conn) closeInOrder() {
	if tcp, ok := c.rwc.(*net.TCPConn); ok {
		tcp.SetLinger(-1)
	}
	c.rwc.Close()
}

func (c *conn) serve(base context.Context) {
	srv := c.server
	defer srv.forget(c)
	if !c.slot && srv.slots != nil {
		// Taken from the backlog by Shutdown: wait for a slot like the rest.
		srv.slots <- struct{}{}
		c.slot = true
	}
	timeout := srv.ReadTimeout
	if timeout == 0 {
		timeout = DefaultReadTimeout
	}
	if timeout > 0 {
		c.rwc.SetReadDeadline(time.Now().Add(timeout))
	}
	in := readers.Get().(*bufio.Reader)
	in.Reset(c.rwc)
	link, err := readRequest(in, srv.lim)
	in.Reset(nil)
	readers.Put(in)
	if err != nil {
		srv.logf("dostrel: refused %s: %v", c.peer, err)
		// Closed without a byte written; unread bytes make it a reset, which is as well.
		c.closeInOrder()
		return
	}
	defer link.body.Close()
	c.rwc.SetReadDeadline(time.Time{})
	if srv.WriteTimeout > 0 {
		c.rwc.SetWriteDeadline(time.Now().Add(srv.WriteTimeout))
	}

	lctx := newLinkContext(base, c)
	ctx := context.WithValue(lctx, http.LocalAddrContextKey, c.rwc.LocalAddr())

	c.out = writers.Get().(*bufio.Writer)
	c.out.Reset(c.rwc)
	defer func() {
		c.out.Reset(nil)
		writers.Put(c.out)
	}()
	r := newRequest(ctx, link, c.peer)
	w := newResponse(c, r)
	whole := c.runHandler(w, r)
	if whole {
		whole = w.finish()
		if !whole && w.err != nil {
			srv.logf("dostrel: response to %s for %s %s cut short after %d body bytes: %v; "+
				"connection reset", c.peer, r.Method, r.URL.Path, w.written, w.err)
		} else if !whole {
			srv.logf("dostrel: handler for %s %s wrote %d of the %d bytes it declared; "+
				"connection reset", r.Method, r.URL.Path, w.written, w.declared)
		}
	}
	lctx.finish()
	if whole {
		c.closeInOrder()
	} else {
		c.reset()
	}
}

// runHandler calls the handler; it reports false when the response must be cut off with a
// reset. A panic before any byte left answers 500 instead.
func (c *conn) runHandler(w *response, r *http.Request) (whole bool) {
	defer func() {
		v := recover()
		if v == nil {
			return
		}
		whole = false
		if v == http.ErrAbortHandler {
			return
		}
		where := panicSite()
		if !w.headSent {
			c.server.logf("dostrel: panic serving %s %s for %s: %v%s; answered 500", r.Method,
				r.URL.Path, r.RemoteAddr, v, where)
			w.header = make(http.Header)
			w.header.Set("Content-Type", "text/plain; charset=utf-8")
			w.header.Set("X-Content-Type-Options", "nosniff")
			w.status, w.held, w.written, w.declared = 0, nil, 0, -1
			w.WriteHeader(http.StatusInternalServerError)
			w.Write([]byte("Internal Server Error\n"))
			whole = true
			return
		}
		c.server.logf("dostrel: panic serving %s %s for %s after %d body bytes: %v%s; "+
			"connection reset", r.Method, r.URL.Path, r.RemoteAddr, w.written, v, where)
	}()
	handler := c.server.Handler
	if handler == nil {
		handler = http.DefaultServeMux
	}
	handler.ServeHTTP(w, r)
	return true
}

// panicSite is " at FILE:LINE" of the function that panicked, for a one-line log entry.
func panicSite() string {
	pcs := make([]uintptr, 32)
	frames := runtime.CallersFrames(pcs[:runtime.Callers(3, pcs)])
	for {
		frame, more := frames.Next()
		if !strings.HasPrefix(frame.Function, "runtime.") {
			return fmt.Sprintf(" at %s:%d", frame.File, frame.Line)
		}
		if !more {
			return ""
		}
	}
}
