// robustness_test.go -- straight over the link protocol: the limits and their reasons in the
// log, idle and stalled connections beside good requests, the allow-list, the link's context;
// then the gateway alone in front: whole answers closed, cut ones reset and reported.

package dostrel_test

import (
	"bufio"
	"bytes"
	"context"
	"encoding/binary"
	"errors"
	"fmt"
	"io"
	"net"
	"net/http"
	"net/textproto"
	"os"
	"os/exec"
	"strings"
	"sync"
	"syscall"
	"testing"
	"time"

	"dostrel.dev/dostrel"
	"dostrel.dev/dostrel/internal/gatewaytest"
)

// linkRequest is the bytes of a GET request for path with extra variables and a body.
func linkRequest(path string, extra []string, body string) []byte {
	b := []byte{9, 0x23, 0x19, 0x63, 0, 0, 0, 1, 0, 0, 0, 0}
	b = binary.BigEndian.AppendUint32(b, uint32(len(extra)+4))
	fields := []string{"REQUEST_METHOD", "GET", "PATH_INFO", path, "REMOTE_ADDR", "127.0.0.1"}
	for _, v := range extra {
		name, value, _ := strings.Cut(v, "=")
		fields = append(fields, name, value)
	}
	for _, field := range append(fields, "XBRENNOX_CONTENT_DATA", body) {
		b = append(binary.BigEndian.AppendUint32(b, uint32(len(field))), field...)
	}
	return b
}

// exchange sends data on a new connection and reads until the close; a reset is the error.
func exchange(t *testing.T, addr string, data []byte) (string, error) {
	c, err := net.Dial("tcp", addr)
	if err != nil {
		t.Fatal(err)
	}
	defer c.Close()
	c.SetDeadline(time.Now().Add(30 * time.Second))
	c.Write(data)
	got, err := io.ReadAll(c)
	return string(got), err
}

var defaultMux sync.Once // the route on http.DefaultServeMux, registered once

// TestMain serves in the child process that TestRobustness starts and then kills.
func TestMain(m *testing.M) {
	if os.Getenv("DOSTREL_SERVE_UNTIL_KILLED") != "" {
		l, _ := net.Listen("tcp", "127.0.0.1:0")
		fmt.Println(l.Addr())
		dostrel.Serve(l, http.NotFoundHandler())
	}
	os.Exit(m.Run())
}

func TestRobustness(t *testing.T) {
	block := bytes.Repeat([]byte("0123456789abcdef"), 4096) // 64 KiB
	events, started := make(chan string), make(chan struct{}, 1)
	mux := http.NewServeMux()
	mux.HandleFunc("/", func(w http.ResponseWriter, r *http.Request) {
		body, _ := io.ReadAll(r.Body)
		fmt.Fprintf(w, "%s %d", r.URL.Path, len(body))
	})
	mux.HandleFunc("/wait", func(w http.ResponseWriter, r *http.Request) {
		events <- "started"
		<-r.Context().Done()
		events <- "cancelled"
	})
	mux.HandleFunc("/whole", func(w http.ResponseWriter, r *http.Request) { w.Write(block[:10000]) })
	mux.HandleFunc("/declared", func(w http.ResponseWriter, r *http.Request) {
		w.Header().Set("Content-Length", "65536")
		w.Write(block)
	})
	mux.HandleFunc("/short", func(w http.ResponseWriter, r *http.Request) {
		w.Header().Set("Content-Length", "100000")
		w.Write(block)
	})
	for _, path := range []string{"/stream", "/panic-late", "/slow"} {
		path := path
		mux.HandleFunc(path, func(w http.ResponseWriter, r *http.Request) {
			w.Write(block)
			w.(http.Flusher).Flush()
			if path == "/panic-late" {
				panic("late failure")
			} else if path == "/slow" {
				started <- struct{}{}
				select {
				case <-r.Context().Done():
				case <-time.After(1500 * time.Millisecond):
				}
			}
			w.Write(block)
		})
	}
	addr, logs, _ := gatewaytest.Serve(t, &dostrel.Server{Handler: mux, MaxKeys: 50,
		MaxVariableBytes: 4096, MaxBodyBytes: 1 << 20, BodyMemoryBytes: 1000,
		ReadTimeout: time.Second, Allow: []string{"10.1.0.0/16", "127.0.0.1"}})
	good := func(path, body string) {
		got, err := exchange(t, addr, linkRequest(path, nil, body))
		if want := fmt.Sprintf("\r\n\r\n%s %d", path, len(body)); err != nil ||
			!strings.HasPrefix(got, "Status: 200 OK\r\n") || !strings.HasSuffix(got, want) {
			t.Errorf("good request %s: %q %v", path, got, err)
		}
	}
	good("/first", "body")
	good("/big", strings.Repeat("x", 5000)) // past BodyMemoryBytes: a temporary file

	keys := make([]string, 60)
	for i := range keys {
		keys[i] = fmt.Sprintf("K%d=v", i)
	}
	forged := linkRequest("/", nil, "")
	binary.BigEndian.PutUint32(forged[len(forged)-4:], 1<<30)
	for reason, data := range map[string][]byte{
		"too-many-keys":       linkRequest("/", keys, ""),
		"variables-too-large": linkRequest("/", []string{"BIG=" + strings.Repeat("v", 5000)}, ""),
		"body-too-large":      forged,
		"bad-cookie":          []byte("GET / HTTP/1.1\r\n\r\n"),
		"unsupported-version": {9, 0x23, 0x19, 0x63, 0, 0, 0, 2, 0, 0, 0, 0},
	} {
		// Refused as the field arrives (not at the read timeout: the reason says which), and
		// not a byte answered.
		if got, _ := exchange(t, addr, data); got != "" || !strings.Contains(logs.String(), ": "+reason+" (") {
			t.Errorf("%s: answered %q; log:\n%s", reason, got, logs)
		}
	}
	c, _ := net.Dial("tcp", addr) // the connection ends mid-request
	c.Write(linkRequest("/", nil, "body")[:30])
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
		held = append(held, c)
		if i%2 == 1 {
			c.Write(linkRequest("/stalled", nil, "body")[:20])
		}
	}
	begun := time.Now()
	var wg sync.WaitGroup
	for i := 0; i < 20; i++ {
		wg.Add(1)
		go func(i int) {
			defer wg.Done()
			good(fmt.Sprintf("/beside/%d", i), "")
		}(i)
	}
	wg.Wait()
	t.Logf("20 requests beside 40 idle or stalled connections in %v", time.Since(begun))
	for _, c := range held {
		c.SetReadDeadline(time.Now().Add(20 * time.Second))
		if n, err := c.Read(make([]byte, 1)); n != 0 || err == nil {
			t.Errorf("a stalled connection got %d bytes, %v", n, err)
		}
		c.Close()
	}
	t.Logf("the stalled connections were dropped after %v", time.Since(begun))
	if log := logs.String(); strings.Count(log, ": timeout (") != 40 ||
		!strings.Contains(log, "refused 127.0.0.1:") || !strings.Contains(log, ": truncated (") {
		t.Errorf("log:\n%s", log)
	}
	good("/last", "")

	// The handler's context ends when the link does.
	c, _ = net.Dial("tcp", addr)
	c.Write(linkRequest("/wait", nil, ""))
	<-events
	c.Close()
	select {
	case <-events:
	case <-time.After(30 * time.Second):
		t.Errorf("the context was not cancelled when the link closed")
	}

	strict, strictLogs, _ := gatewaytest.Serve(t, &dostrel.Server{Handler: mux, Allow: []string{"192.0.2.0/24", "::1"}})
	if got, _ := exchange(t, strict, linkRequest("/", nil, "")); got != "" ||
		!strings.Contains(strictLogs.String(), ": not-allowed (") {
		t.Errorf("not allowed, but answered %q; log %q", got, strictLogs)
	}
	bad := &dostrel.Server{Allow: []string{"10.0.0.0/33"}}
	if err := bad.Serve(nil); err == nil || !strings.Contains(err.Error(), "10.0.0.0/33") {
		t.Errorf("a bad allow-list entry: %v", err)
	}
	// The package's Serve, as fcgi.Serve: nil is http.DefaultServeMux; it ends with its listener.
	defaultMux.Do(func() {
		http.HandleFunc("/default-mux", func(w http.ResponseWriter, r *http.Request) { io.WriteString(w, "default") })
	})
	l, _ := net.Listen("tcp", "127.0.0.1:0")
	ended := make(chan error)
	go func() { ended <- dostrel.Serve(l, nil) }()
	got, err := exchange(t, l.Addr().String(), linkRequest("/default-mux", nil, ""))
	l.Close()
	if !strings.HasSuffix(got, "\r\n\r\ndefault") || err != nil || <-ended == nil {
		t.Errorf("Serve with a nil handler: %q %v", got, err)
	}
	closed := &dostrel.Server{}
	closed.Close()
	if err := closed.ListenAndServe(""); err != dostrel.ErrServerClosed {
		t.Errorf("ListenAndServe after Close: %v", err)
	}
	// ListenAndServe() listens on Addr, as http.Server's does.
	if err := (&dostrel.Server{Addr: "127.0.0.1:99999"}).ListenAndServe(); err == nil ||
		!strings.Contains(err.Error(), "99999") {
		t.Errorf("ListenAndServe on a bad Addr: %v", err)
	}

	// A process killed with a connection accepted, its request still arriving, resets it.
	child := exec.Command(os.Args[0], "-test.run=^$")
	child.Env = append(os.Environ(), "DOSTREL_SERVE_UNTIL_KILLED=1")
	out, _ := child.StdoutPipe()
	if err := child.Start(); err != nil {
		t.Fatal(err)
	}
	line, _ := bufio.NewReader(out).ReadString('\n')
	sockets := func() (n int) {
		fds, _ := os.ReadDir(fmt.Sprintf("/proc/%d/fd", child.Process.Pid))
		for _, fd := range fds {
			link, _ := os.Readlink(fmt.Sprintf("/proc/%d/fd/%s", child.Process.Pid, fd.Name()))
			n += strings.Count(link, "socket:")
		}
		return n
	}
	before := sockets()
	if c, err = net.Dial("tcp", strings.TrimSpace(line)); err != nil {
		t.Fatal(err)
	}
	c.Write(linkRequest("/", nil, "")[:30])
	for deadline := time.Now().Add(20 * time.Second); sockets() == before && time.Now().Before(deadline); {
		time.Sleep(10 * time.Millisecond)
	}
	child.Process.Kill()
	child.Wait()
	c.SetReadDeadline(time.Now().Add(20 * time.Second))
	if _, err := c.Read(make([]byte, 1)); !errors.Is(err, syscall.ECONNRESET) {
		t.Errorf("a connection of a killed server ended with %v, not a reset", err)
	}
	c.Close()

	// The gateway alone, as a web server starts it: whole answers end it with 0 (the type
	// sniffed from the body, for HEAD as for GET) ...
	for _, c := range []struct {
		method, path, length string
		body                 int
	}{{"GET", "/whole", "10000", 10000}, {"GET", "/declared", "65536", 65536}, {"GET", "/stream", "", 131072},
		{"HEAD", "/whole", "10000", 0}} {
		status, out, errs := gatewaytest.Run(t, addr, c.method, c.path)
		answer := textproto.NewReader(bufio.NewReader(bytes.NewReader(out)))
		head, _ := answer.ReadMIMEHeader()
		body, _ := io.ReadAll(answer.R)
		if status != 0 || errs != "" || head.Get("Content-Length") != c.length || len(body) != c.body ||
			head.Get("Content-Type") != "text/plain; charset=utf-8" {
			t.Errorf("%s %s: exit %d, stderr %q, %d body bytes, head %q", c.method, c.path, status, errs, len(body), head)
		}
	}
	// ... cut ones (a short declared length, a panic after the first bytes, a write timeout,
	// Shutdown's deadline) are resets it reports with error 11 and exit status 1.
	timed, timedLogs, _ := gatewaytest.Serve(t, &dostrel.Server{Handler: mux, WriteTimeout: 500 * time.Millisecond})
	srv := &dostrel.Server{Handler: mux}
	stopping, _, _ := gatewaytest.Serve(t, srv)
	stopped := make(chan error, 1)
	for _, c := range [][2]string{{addr, "/short"}, {addr, "/panic-late"}, {timed, "/slow"}, {stopping, "/slow"}} {
		if c[0] == stopping {
			go func() {
				<-started
				ctx, cancel := context.WithTimeout(context.Background(), 200*time.Millisecond)
				defer cancel()
				stopped <- srv.Shutdown(ctx)
			}()
		}
		status, out, errs := gatewaytest.Run(t, c[0], "GET", c[1])
		if status != 1 || !strings.Contains(errs, "error 11") || len(out) < 65536 {
			t.Errorf("%s: exit %d, %d bytes, stderr %q", c[1], status, len(out), errs)
		}
		if c[0] == timed {
			<-started
		}
	}
	if err := <-stopped; !errors.Is(err, context.DeadlineExceeded) {
		t.Errorf("Shutdown: %v", err)
	}
	if !strings.Contains(logs.String(), "wrote 65536 of the 100000 bytes it declared") ||
		!strings.Contains(logs.String(), "late failure") || !strings.Contains(timedLogs.String(), "cut short after") {
		t.Errorf("logs:\n%s\n%s", logs, timedLogs)
	}
}
