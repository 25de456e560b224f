// robustness_test.go -- straight over the link protocol: limits and their reasons in the log,
// idle and stalled connections beside good requests, the allow-list, the link's context; and
// through the gateway run alone, the ends of a response: whole ones closed, cut ones reset.

package dostrel_test

import (
	"bytes"
	"context"
	"encoding/binary"
	"errors"
	"fmt"
	"io"
	"net"
	"net/http"
	"strings"
	"sync"
	"syscall"
	"testing"
	"time"

	"dostrel.dev/dostrel"
	"dostrel.dev/dostrel/internal/gatewaytest"
)

// linkRequest is the bytes of a request for path with the given extra variables and body.
func linkRequest(path string, extra []string, body []byte) []byte {
	vars := append([]string{"REQUEST_METHOD=GET", "SCRIPT_NAME=/cgi-bin/dostrel",
		"PATH_INFO=" + path, "SERVER_PROTOCOL=HTTP/1.1", "REMOTE_ADDR=127.0.0.1"}, extra...)
	var b bytes.Buffer
	number := func(n int) { binary.Write(&b, binary.BigEndian, uint32(n)) }
	text := func(s string) { number(len(s)); b.WriteString(s) }
	number(0x09231963)
	number(1)
	number(0)
	number(len(vars) + 1)
	for _, v := range vars {
		name, value, _ := strings.Cut(v, "=")
		text(name)
		text(value)
	}
	text("XBRENNOX_CONTENT_DATA")
	text(string(body))
	return b.Bytes()
}

// exchange sends data on a new connection and reads until the server closes it; a reset is
// the error.
func exchange(t *testing.T, addr string, data []byte) ([]byte, error) {
	t.Helper()
	c, err := net.Dial("tcp", addr)
	if err != nil {
		t.Fatal(err)
	}
	defer c.Close()
	c.SetDeadline(time.Now().Add(30 * time.Second))
	if _, err := c.Write(data); err != nil {
		return nil, err
	}
	return io.ReadAll(c)
}

func TestRobustness(t *testing.T) {
	handler := http.HandlerFunc(func(w http.ResponseWriter, r *http.Request) {
		body, _ := io.ReadAll(r.Body)
		fmt.Fprintf(w, "%s %d", r.URL.Path, len(body))
	})
	srv := &dostrel.Server{Handler: handler, MaxKeys: 50, MaxVariableBytes: 4096,
		MaxBodyBytes: 1 << 20, BodyMemoryBytes: 1000, ReadTimeout: time.Second,
		Allow: []string{"10.1.0.0/16", "127.0.0.1"}}
	addr, logs, _ := serve(t, srv)

	good := func(path string) {
		t.Helper()
		got, err := exchange(t, addr, linkRequest(path, nil, []byte("body")))
		if err != nil || !bytes.HasPrefix(got, []byte("Status: 200 OK\r\n")) ||
			!bytes.HasSuffix(got, []byte("\r\n\r\n"+path+" 4")) {
			t.Errorf("good request %s: %q %v", path, got, err)
		}
	}
	good("/first")
	// A body past BodyMemoryBytes goes through a temporary file.
	big := bytes.Repeat([]byte("x"), 5000)
	if got, err := exchange(t, addr, linkRequest("/big", nil, big)); err != nil ||
		!bytes.HasSuffix(got, []byte("/big 5000")) {
		t.Errorf("5000-byte body: %q %v", got, err)
	}

	manyKeys := make([]string, 60)
	for i := range manyKeys {
		manyKeys[i] = fmt.Sprintf("K%d=v", i)
	}
	forgedBody := linkRequest("/forged", nil, nil)
	binary.BigEndian.PutUint32(forgedBody[len(forgedBody)-4:], 1<<30)
	refusals := []struct {
		reason string
		data   []byte
	}{
		{"too-many-keys", linkRequest("/", manyKeys, nil)},
		{"variables-too-large", linkRequest("/", []string{"BIG=" + strings.Repeat("v", 5000)}, nil)},
		{"body-too-large", forgedBody},
		{"bad-cookie", []byte("GET / HTTP/1.1\r\n\r\n")},
		{"unsupported-version", append([]byte{9, 0x23, 0x19, 0x63, 0, 0, 0, 2}, make([]byte, 8)...)},
	}
	for _, r := range refusals {
		started := time.Now()
		got, err := exchange(t, addr, r.data)
		if len(got) != 0 {
			t.Errorf("%s: answered %q", r.reason, got)
		}
		// Refused when the field arrives, not at the read timeout.
		if time.Since(started) > 900*time.Millisecond {
			t.Errorf("%s: refused only after %v (%v)", r.reason, time.Since(started), err)
		}
		if !strings.Contains(logs.String(), ": "+r.reason+" (") {
			t.Errorf("no %s in the log:\n%s", r.reason, logs)
		}
	}
	// The connection ends mid-request.
	c, _ := net.Dial("tcp", addr)
	c.Write(linkRequest("/", nil, []byte("body"))[:30])
	c.(*net.TCPConn).CloseWrite()
	io.ReadAll(c)
	c.Close()

	// Idle and stalled connections are dropped at the read timeout; good requests go on.
	var held []net.Conn
	for i := 0; i < 40; i++ {
		c, err := net.Dial("tcp", addr)
		if err != nil {
			t.Fatal(err)
		}
		if i%2 == 1 {
			c.Write(linkRequest("/stalled", nil, []byte("body"))[:20])
		}
		held = append(held, c)
	}
	started := time.Now()
	var wg sync.WaitGroup
	for i := 0; i < 20; i++ {
		wg.Add(1)
		go func(i int) {
			defer wg.Done()
			got, err := exchange(t, addr, linkRequest(fmt.Sprintf("/beside/%d", i), nil, nil))
			if err != nil || !bytes.HasSuffix(got, []byte(fmt.Sprintf("/beside/%d 0", i))) {
				t.Errorf("request beside the stalled ones: %q %v", got, err)
			}
		}(i)
	}
	wg.Wait()
	t.Logf("20 requests beside 40 idle or stalled connections in %v", time.Since(started))
	for _, c := range held {
		c.SetReadDeadline(time.Now().Add(20 * time.Second))
		if n, err := c.Read(make([]byte, 1)); n != 0 || err == nil {
			t.Errorf("a stalled connection got %d bytes, %v", n, err)
		}
		c.Close()
	}
	t.Logf("the stalled connections were dropped after %v", time.Since(started))
	log := logs.String()
	if n := strings.Count(log, ": timeout ("); n != 40 {
		t.Errorf("%d timeouts logged, not 40", n)
	}
	if !strings.Contains(log, ": truncated (") || !strings.Contains(log, "refused 127.0.0.1:") {
		t.Errorf("log:\n%s", log)
	}
	good("/last")

	// The allow-list: checked at the accept.
	strict, strictLogs, _ := serve(t, &dostrel.Server{Handler: handler, Allow: []string{"192.0.2.0/24", "::1"}})
	if got, _ := exchange(t, strict, linkRequest("/", nil, nil)); len(got) != 0 {
		t.Errorf("not allowed, but answered %q", got)
	}
	if !strings.Contains(strictLogs.String(), ": not-allowed (") {
		t.Errorf("allow-list log: %q", strictLogs)
	}
	bad := &dostrel.Server{Allow: []string{"10.0.0.0/33"}}
	if err := bad.Serve(nil); err == nil || !strings.Contains(err.Error(), "10.0.0.0/33") {
		t.Errorf("a bad allow-list entry: %v", err)
	}
}

// The handler's context ends when the link connection does.
func TestContextEndsWithTheLink(t *testing.T) {
	events := make(chan string, 2)
	addr, _, _ := serve(t, &dostrel.Server{Handler: http.HandlerFunc(func(w http.ResponseWriter, r *http.Request) {
		events <- "started"
		select {
		case <-r.Context().Done():
			events <- "cancelled"
		case <-time.After(30 * time.Second):
			events <- "not cancelled"
		}
	})})
	c, err := net.Dial("tcp", addr)
	if err != nil {
		t.Fatal(err)
	}
	c.Write(linkRequest("/wait", nil, nil))
	<-events
	started := time.Now()
	c.Close()
	if e := <-events; e != "cancelled" {
		t.Errorf("the context was %s after the link closed", e)
	}
	t.Logf("cancelled %v after the close", time.Since(started))
}

// The gateway alone, as a web server starts it: whole answers end it with 0, cut ones (a panic
// after the first bytes, a write timeout, Shutdown's deadline) are resets it reports.
func TestResponseEnds(t *testing.T) {
	block := bytes.Repeat([]byte("0123456789abcdef"), 4096)
	started := make(chan struct{}, 1)
	mux := http.NewServeMux()
	mux.HandleFunc("/whole", func(w http.ResponseWriter, r *http.Request) { w.Write(block[:10000]) })
	mux.HandleFunc("/declared", func(w http.ResponseWriter, r *http.Request) {
		w.Header().Set("Content-Length", "65536")
		w.Write(block)
	})
	mux.HandleFunc("/stream", func(w http.ResponseWriter, r *http.Request) {
		w.Write(block)
		w.(http.Flusher).Flush()
		w.Write(block)
	})
	mux.HandleFunc("/short", func(w http.ResponseWriter, r *http.Request) {
		w.Header().Set("Content-Length", "100000")
		w.Write(block)
	})
	mux.HandleFunc("/panic-late", func(w http.ResponseWriter, r *http.Request) {
		w.Write(block)
		w.(http.Flusher).Flush()
		panic("late failure")
	})
	mux.HandleFunc("/slow", func(w http.ResponseWriter, r *http.Request) {
		w.Write(block)
		w.(http.Flusher).Flush()
		started <- struct{}{}
		select {
		case <-r.Context().Done():
		case <-time.After(1500 * time.Millisecond):
		}
		w.Write(block)
	})
	addr, logs, _ := serve(t, &dostrel.Server{Handler: mux})
	for _, path := range []string{"/whole", "/declared", "/stream", "HEAD /whole"} {
		method := "GET"
		if m, p, ok := strings.Cut(path, " "); ok {
			method, path = m, p
		}
		status, out, errs := gatewaytest.Run(t, addr, method, path)
		head, body, _ := bytes.Cut(out, []byte("\r\n\r\n"))
		length := regexpLength(head)
		want := map[string]string{"/whole": "10000", "/declared": "65536", "/stream": ""}[path]
		wantBody := map[string]int{"/whole": 10000, "/declared": 65536, "/stream": 131072}[path]
		if method == "HEAD" {
			wantBody = 0
		}
		if status != 0 || errs != "" || length != want || len(body) != wantBody {
			t.Errorf("%s %s: exit %d, stderr %q, Content-Length %q, %d body bytes; head:\n%s",
				method, path, status, errs, length, len(body), head)
		}
	}
	cut := func(addr, path string) {
		t.Helper()
		status, out, errs := gatewaytest.Run(t, addr, "GET", path)
		if status != 1 || !strings.Contains(errs, "error 11") || len(out) < 65536 {
			t.Errorf("%s: exit %d, %d bytes, stderr %q", path, status, len(out), errs)
		}
	}
	cut(addr, "/short")
	cut(addr, "/panic-late")
	if !strings.Contains(logs.String(), "wrote 65536 of the 100000 bytes it declared") ||
		!strings.Contains(logs.String(), "late failure") {
		t.Errorf("log:\n%s", logs)
	}

	timed, timedLogs, _ := serve(t, &dostrel.Server{Handler: mux, WriteTimeout: 500 * time.Millisecond})
	cut(timed, "/slow")
	<-started
	if !strings.Contains(timedLogs.String(), "cut short after") {
		t.Errorf("write timeout log: %q", timedLogs)
	}

	srv := &dostrel.Server{Handler: mux}
	stopping, _, _ := serve(t, srv)
	go func() {
		<-started
		ctx, cancel := context.WithTimeout(context.Background(), 200*time.Millisecond)
		defer cancel()
		if err := srv.Shutdown(ctx); !errors.Is(err, context.DeadlineExceeded) {
			t.Errorf("Shutdown: %v", err)
		}
	}()
	cut(stopping, "/slow")
	// A reset is also what a client straight on the link sees.
	c, _ := net.Dial("tcp", timed)
	c.Write(linkRequest("/slow", nil, nil))
	<-started
	_, err := io.ReadAll(c)
	c.Close()
	if !errors.Is(err, syscall.ECONNRESET) {
		t.Errorf("write timeout seen on the link: %v", err)
	}
}

func regexpLength(head []byte) string {
	for _, line := range strings.Split(string(head), "\r\n") {
		if name, value, ok := strings.Cut(line, ": "); ok && strings.EqualFold(name, "Content-Length") {
			return value
		}
	}
	return ""
}
