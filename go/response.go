// response.go -- the http.ResponseWriter that writes a CGI response to the link connection.

package dostrel

import (
	"bufio"
	"fmt"
	"io"
	"net/http"
	"strconv"
	"strings"
	"time"
)

// Bytes of body held back before the head is sent: a handler that writes less and returns
// gets a Content-Length, as net/http gives one to small responses finished without Flush.
const holdBytes = 16 << 10

// The bytes http.DetectContentType looks at.
const sniffLen = 512

func minInt(a, b int) int {
	if a < b {
		return a
	}
	return b
}

// The web server frames the response for its client: these headers are its business.
var hopByHop = map[string]bool{
	"Connection": true, "Transfer-Encoding": true, "Keep-Alive": true, "Upgrade": true,
	"Trailer": true, "Status": true,
}

// response implements http.ResponseWriter and http.Flusher. It has no Hijack: the connection
// carries one CGI response, which the gateway relays; there is nothing to take over.
type response struct {
	conn   *conn
	req    *http.Request
	header http.Header
	out    *bufio.Writer

	status      int  // 0 until WriteHeader
	headSent    bool // the head is in out (and perhaps on the wire)
	held        []byte
	written     int64 // body bytes accepted from the handler
	declared    int64 // the handler's Content-Length, or -1
	handlerDone bool
	err         error // the first write error: the response cannot be completed
}

func newResponse(c *conn, r *http.Request) *response {
	return &response{conn: c, req: r, header: make(http.Header), out: c.out, declared: -1}
}

func (w *response) Header() http.Header { return w.header }

func (w *response) WriteHeader(code int) {
	if w.status != 0 {
		w.conn.server.logf("dostrel: superfluous WriteHeader call (%d after %d) for %s %s",
			code, w.status, w.req.Method, w.req.URL.Path)
		return
	}
	if code < 100 || code > 999 {
		panic(fmt.Sprintf("invalid WriteHeader code %v", code))
	}
	// An interim answer has no place in a CGI response: the gateway has read the whole body.
	if code < 200 {
		return
	}
	w.status = code
	if cl := w.header.Get("Content-Length"); cl != "" {
		if n, err := strconv.ParseInt(strings.TrimSpace(cl), 10, 64); err == nil && n >= 0 {
			w.declared = n
		} else {
			w.conn.server.logf("dostrel: invalid Content-Length %q ignored for %s %s", cl,
				w.req.Method, w.req.URL.Path)
			w.header.Del("Content-Length")
		}
	}
}

func (w *response) bodyAllowed() bool {
	return !(w.status >= 100 && w.status <= 199 || w.status == 204 || w.status == 304)
}

func (w *response) Write(p []byte) (int, error) {
	if w.handlerDone {
		return 0, http.ErrHandlerTimeout
	}
	if w.status == 0 {
		w.WriteHeader(http.StatusOK)
	}
	if len(p) == 0 {
		return 0, w.err
	}
	if !w.bodyAllowed() {
		return 0, http.ErrBodyNotAllowed
	}
	if w.declared >= 0 && w.written+int64(len(p)) > w.declared {
		return 0, http.ErrContentLength
	}
	if w.err != nil {
		return 0, w.err
	}
	w.written += int64(len(p))
	if w.req.Method == http.MethodHead {
		// No body, but its first bytes give the Content-Type, as for GET.
		if keep := sniffLen - len(w.held); !w.headSent && keep > 0 {
			w.held = append(w.held, p[:minInt(keep, len(p))]...)
		}
		return len(p), nil
	}
	if !w.headSent {
		if len(w.held)+len(p) <= holdBytes {
			w.held = append(w.held, p...)
			return len(p), nil
		}
		w.sendHead(p)
		if w.err != nil {
			return 0, w.err
		}
	}
	if _, err := w.out.Write(p); err != nil {
		w.fail(err)
		return 0, err
	}
	return len(p), nil
}

// WriteString spares io.WriteString a copy.
func (w *response) WriteString(s string) (int, error) {
	return w.Write([]byte(s))
}

// Flush sends the head, if not yet sent, and everything written so far.
func (w *response) Flush() {
	if w.handlerDone {
		return
	}
	if w.status == 0 {
		w.WriteHeader(http.StatusOK)
	}
	if !w.headSent {
		w.sendHead(nil)
	}
	if w.err == nil {
		if err := w.out.Flush(); err != nil {
			w.fail(err)
		}
	}
}

// SetWriteDeadline and SetReadDeadline are what http.ResponseController looks for; the body
// has been read in full before the handler runs, so the read deadline has nothing to bound.
func (w *response) SetWriteDeadline(t time.Time) error { return w.conn.rwc.SetWriteDeadline(t) }

func (w *response) SetReadDeadline(time.Time) error { return nil }

func (w *response) fail(err error) {
	if w.err == nil {
		w.err = err
	}
}

// sendHead puts the Status line, the headers and the held body bytes into the output buffer;
// next is the body's next bytes, if any, for the Content-Type when nothing is held.
func (w *response) sendHead(next []byte) {
	w.headSent = true
	h := w.header
	if w.handlerDone && w.bodyAllowed() && w.declared < 0 && h.Get("Transfer-Encoding") == "" &&
		(w.req.Method != http.MethodHead || w.written > 0) {
		h.Set("Content-Length", strconv.FormatInt(w.written, 10))
	}
	sample := w.held
	if len(sample) == 0 {
		sample = next
	}
	if _, typed := h["Content-Type"]; !typed && w.bodyAllowed() && len(sample) > 0 {
		h.Set("Content-Type", http.DetectContentType(sample))
	}
	text := http.StatusText(w.status)
	if text == "" {
		text = "Status " + strconv.Itoa(w.status)
	}
	out := w.out
	out.WriteString("Status: ")
	out.WriteString(strconv.Itoa(w.status))
	out.WriteByte(' ')
	out.WriteString(text)
	out.WriteString("\r\n")
	// WriteSubset drops invalid names and turns line breaks in values into spaces.
	h.WriteSubset(out, hopByHop)
	out.WriteString("\r\n")
	if len(w.held) > 0 && w.req.Method != http.MethodHead {
		out.Write(w.held)
	}
	w.held = nil
	if err := errorOf(out); err != nil {
		w.fail(err)
	}
}

// errorOf is the error a bufio.Writer has kept, if any.
func errorOf(b *bufio.Writer) error {
	_, err := b.Write(nil)
	return err
}

// finish completes the response once the handler has returned. It reports whether the
// response is whole: false means the connection must be reset, never closed in order.
func (w *response) finish() bool {
	w.handlerDone = true
	if w.status == 0 {
		w.status = http.StatusOK
	}
	if !w.headSent {
		w.sendHead(nil)
	}
	if w.err == nil {
		if err := w.out.Flush(); err != nil {
			w.fail(err)
		}
	}
	if w.err != nil {
		return false
	}
	// A declared length the handler did not reach: the web server must not pass it for whole.
	return w.declared < 0 || w.declared == w.written || w.req.Method == http.MethodHead
}

var _ io.StringWriter = (*response)(nil)
var _ http.Flusher = (*response)(nil)
