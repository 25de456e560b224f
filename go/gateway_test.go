// gateway_test.go -- a plain http.ServeMux application served through lighttpd and the real
// gateway: forms, an upload, cookies, redirects, 404, panics, a 50 MB stream, Server-Sent
// Events, and a graceful Shutdown with requests queued.

package dostrel_test

import (
	"bufio"
	"bytes"
	"context"
	"encoding/json"
	"fmt"
	"io"
	"log"
	"math/rand"
	"mime/multipart"
	"net"
	"net/http"
	"net/http/cookiejar"
	"net/url"
	"os"
	"runtime"
	"strings"
	"sync"
	"testing"
	"time"

	"dostrel.dev/dostrel"
	"dostrel.dev/dostrel/internal/gatewaytest"
)

// logBuffer collects a server's log lines; safe for the server's goroutines.
type logBuffer struct {
	mu  sync.Mutex
	buf bytes.Buffer
}

func (b *logBuffer) Write(p []byte) (int, error) {
	b.mu.Lock()
	defer b.mu.Unlock()
	return b.buf.Write(p)
}

func (b *logBuffer) String() string {
	b.mu.Lock()
	defer b.mu.Unlock()
	return b.buf.String()
}

// serve runs srv on a fresh 127.0.0.1 port until the test ends; it returns the address, the
// server's log, and a function waiting for what Serve returns.
func serve(t *testing.T, srv *dostrel.Server) (string, *logBuffer, func() error) {
	t.Helper()
	logs := &logBuffer{}
	if srv.ErrorLog == nil {
		srv.ErrorLog = log.New(logs, "", 0)
	}
	l, err := net.Listen("tcp", "127.0.0.1:0")
	if err != nil {
		t.Fatal(err)
	}
	done := make(chan struct{})
	var served error
	go func() {
		served = srv.Serve(l)
		close(done)
	}()
	t.Cleanup(func() {
		srv.Close()
		<-done
	})
	return l.Addr().String(), logs, func() error { <-done; return served }
}

const streamChunks = 800 // of 64 KiB: 50 MiB

func pattern(offset int64, p []byte) {
	for i := range p {
		p[i] = byte((offset + int64(i)) % 251)
	}
}

func application(events chan struct{}) http.Handler {
	mux := http.NewServeMux()
	mux.HandleFunc("/hello", func(w http.ResponseWriter, r *http.Request) {
		io.WriteString(w, "Hello, world!")
	})
	mux.HandleFunc("/form", func(w http.ResponseWriter, r *http.Request) {
		if err := r.ParseForm(); err != nil {
			http.Error(w, err.Error(), http.StatusBadRequest)
			return
		}
		fmt.Fprintf(w, "%s %s %s", r.Method, r.PostFormValue("name"), r.FormValue("q"))
	})
	mux.HandleFunc("/upload", func(w http.ResponseWriter, r *http.Request) {
		file, header, err := r.FormFile("file")
		if err != nil {
			http.Error(w, err.Error(), http.StatusBadRequest)
			return
		}
		defer file.Close()
		w.Header().Set("X-File-Name", header.Filename)
		w.Header().Set("X-Note", r.FormValue("note"))
		io.Copy(w, file)
	})
	mux.HandleFunc("/login", func(w http.ResponseWriter, r *http.Request) {
		http.SetCookie(w, &http.Cookie{Name: "session", Value: "s1", Path: "/"})
		http.SetCookie(w, &http.Cookie{Name: "theme", Value: "dark", Path: "/"})
		// The application's paths are below the gateway's SCRIPT_NAME on the web server.
		http.Redirect(w, r, dostrel.Variables(r)["SCRIPT_NAME"]+"/whoami", http.StatusSeeOther)
	})
	mux.HandleFunc("/whoami", func(w http.ResponseWriter, r *http.Request) {
		session, err := r.Cookie("session")
		if err != nil {
			http.Error(w, "no session", http.StatusUnauthorized)
			return
		}
		fmt.Fprintf(w, "session %s, %d cookies", session.Value, len(r.Cookies()))
	})
	mux.HandleFunc("/env", func(w http.ResponseWriter, r *http.Request) {
		_, hijackable := w.(http.Hijacker)
		json.NewEncoder(w).Encode(map[string]any{
			"path": r.URL.Path, "query": r.URL.RawQuery, "uri": r.RequestURI, "host": r.Host,
			"remote": r.RemoteAddr, "tls": r.TLS != nil, "proto": r.Proto,
			"script": dostrel.Variables(r)["SCRIPT_NAME"], "custom": r.Header.Get("X-Custom"),
			"proxy":      r.Header.Get("Proxy") + dostrel.Variables(r)["HTTP_PROXY"],
			"hijackable": hijackable, "length": r.ContentLength,
		})
	})
	mux.HandleFunc("/panic", func(w http.ResponseWriter, r *http.Request) {
		w.Header().Set("X-Lost", "yes")
		io.WriteString(w, "never sent")
		panic("early failure")
	})
	mux.HandleFunc("/panic-late", func(w http.ResponseWriter, r *http.Request) {
		w.Write(make([]byte, 100000))
		w.(http.Flusher).Flush()
		panic("late failure")
	})
	mux.HandleFunc("/stream", func(w http.ResponseWriter, r *http.Request) {
		w.Header().Set("Content-Type", "application/octet-stream")
		chunk := make([]byte, 64<<10)
		for i := int64(0); i < streamChunks; i++ {
			pattern(i*int64(len(chunk)), chunk)
			if _, err := w.Write(chunk); err != nil {
				return
			}
		}
	})
	mux.HandleFunc("/events", func(w http.ResponseWriter, r *http.Request) {
		w.Header().Set("Content-Type", "text/event-stream")
		for i := 1; i <= 3; i++ {
			fmt.Fprintf(w, "data: event %d\n\n", i)
			w.(http.Flusher).Flush()
			if i < 3 {
				// The next event is written only once the client has the last one.
				select {
				case <-events:
				case <-r.Context().Done():
					return
				case <-time.After(30 * time.Second):
					return
				}
			}
		}
	})
	return mux
}

func TestApplicationThroughGateway(t *testing.T) {
	events := make(chan struct{})
	addr, logs, _ := serve(t, &dostrel.Server{Handler: application(events)})
	web := gatewaytest.Start(t, addr)
	jar, _ := cookiejar.New(nil)
	client := &http.Client{Timeout: 60 * time.Second, Jar: jar}
	get := func(path string) (*http.Response, string) {
		t.Helper()
		resp, err := client.Get(web.Base + path)
		if err != nil {
			t.Fatalf("GET %s: %v", path, err)
		}
		defer resp.Body.Close()
		body, err := io.ReadAll(resp.Body)
		if err != nil {
			t.Fatalf("GET %s: body: %v", path, err)
		}
		return resp, string(body)
	}

	t.Run("hello", func(t *testing.T) {
		resp, body := get("/hello")
		if resp.StatusCode != 200 || body != "Hello, world!" || resp.ContentLength != 13 ||
			!strings.HasPrefix(resp.Header.Get("Content-Type"), "text/plain") {
			t.Errorf("%d %q length %d, type %q", resp.StatusCode, body, resp.ContentLength,
				resp.Header.Get("Content-Type"))
		}
		resp, body = get("/missing")
		if resp.StatusCode != 404 || body != "404 page not found\n" {
			t.Errorf("missing: %d %q", resp.StatusCode, body)
		}
	})

	t.Run("request", func(t *testing.T) {
		req, _ := http.NewRequest("GET", web.Base+"/env?a=1&b=%20", nil)
		req.Header.Set("X-Custom", "yes")
		req.Header.Set("Proxy", "http://evil.example/")
		resp, err := client.Do(req)
		if err != nil {
			t.Fatal(err)
		}
		var env map[string]any
		err = json.NewDecoder(resp.Body).Decode(&env)
		resp.Body.Close()
		if err != nil {
			t.Fatal(err)
		}
		u, _ := url.Parse(web.Base)
		want := map[string]any{"path": "/env", "query": "a=1&b=%20", "host": u.Host,
			"uri": "/cgi-bin/dostrel/env?a=1&b=%20", "tls": false, "proto": "HTTP/1.1",
			"script": "/cgi-bin/dostrel", "custom": "yes", "proxy": "", "hijackable": false,
			"length": 0.0}
		for key, value := range want {
			if env[key] != value {
				t.Errorf("%s: %v, want %v", key, env[key], value)
			}
		}
		if remote, _ := env["remote"].(string); !strings.HasPrefix(remote, "127.0.0.1:") {
			t.Errorf("remote address %q", remote)
		}
	})

	t.Run("form", func(t *testing.T) {
		resp, err := client.PostForm(web.Base+"/form?q=query", url.Values{"name": {"Zoë & co"}})
		if err != nil {
			t.Fatal(err)
		}
		body, _ := io.ReadAll(resp.Body)
		resp.Body.Close()
		if string(body) != "POST Zoë & co query" {
			t.Errorf("form: %q", body)
		}
	})

	t.Run("upload", func(t *testing.T) {
		data := make([]byte, 1<<20)
		rand.New(rand.NewSource(7)).Read(data)
		var form bytes.Buffer
		mw := multipart.NewWriter(&form)
		mw.WriteField("note", "one megabyte")
		fw, _ := mw.CreateFormFile("file", "random.bin")
		fw.Write(data)
		mw.Close()
		resp, err := client.Post(web.Base+"/upload", mw.FormDataContentType(), &form)
		if err != nil {
			t.Fatal(err)
		}
		body, _ := io.ReadAll(resp.Body)
		resp.Body.Close()
		if resp.StatusCode != 200 || !bytes.Equal(body, data) ||
			resp.Header.Get("X-File-Name") != "random.bin" || resp.Header.Get("X-Note") != "one megabyte" {
			t.Errorf("upload: %d, %d bytes back, equal %v, headers %v", resp.StatusCode, len(body),
				bytes.Equal(body, data), resp.Header)
		}
	})

	t.Run("cookies and redirect", func(t *testing.T) {
		noFollow := &http.Client{Timeout: 60 * time.Second,
			CheckRedirect: func(*http.Request, []*http.Request) error { return http.ErrUseLastResponse }}
		resp, err := noFollow.Get(web.Base + "/login")
		if err != nil {
			t.Fatal(err)
		}
		resp.Body.Close()
		if resp.StatusCode != 303 || resp.Header.Get("Location") != "/cgi-bin/dostrel/whoami" ||
			len(resp.Cookies()) != 2 {
			t.Errorf("login: %d, Location %q, cookies %v", resp.StatusCode,
				resp.Header.Get("Location"), resp.Cookies())
		}
		resp, body := get("/login")
		if resp.StatusCode != 200 || body != "session s1, 2 cookies" {
			t.Errorf("after the redirect: %d %q", resp.StatusCode, body)
		}
	})

	t.Run("panics", func(t *testing.T) {
		resp, body := get("/panic")
		if resp.StatusCode != 500 || body != "Internal Server Error\n" || resp.Header.Get("X-Lost") != "" {
			t.Errorf("panic: %d %q %v", resp.StatusCode, body, resp.Header)
		}
		if n := strings.Count(logs.String(), "\n"); n != 1 ||
			!strings.Contains(logs.String(), "panic serving GET /panic for 127.0.0.1:") ||
			!strings.Contains(logs.String(), "early failure at ") {
			t.Errorf("%d log lines: %s", n, logs)
		}
		// After the first bytes: a reset (robustness_test.go runs the gateway for it alone
		// and sees its error 11); what the web server made of it is its own business.
		if resp, err := client.Get(web.Base + "/panic-late"); err == nil {
			io.Copy(io.Discard, resp.Body)
			resp.Body.Close()
		}
		if !strings.Contains(logs.String(), "late failure at ") ||
			!strings.Contains(logs.String(), "connection reset") {
			t.Errorf("server log:\n%s", logs)
		}
	})

	t.Run("50 MB stream in flat memory", func(t *testing.T) {
		runtime.GC()
		var before, sample runtime.MemStats
		runtime.ReadMemStats(&before)
		peak := before.HeapInuse
		stop := make(chan struct{})
		sampled := make(chan struct{})
		go func() {
			defer close(sampled)
			for {
				select {
				case <-stop:
					return
				case <-time.After(20 * time.Millisecond):
				}
				runtime.ReadMemStats(&sample)
				if sample.HeapInuse > peak {
					peak = sample.HeapInuse
				}
			}
		}()
		started := time.Now()
		resp, err := client.Get(web.Base + "/stream")
		if err != nil {
			t.Fatal(err)
		}
		var offset int64
		buf := make([]byte, 64<<10)
		want := make([]byte, 64<<10)
		for {
			n, err := resp.Body.Read(buf)
			pattern(offset, want[:n])
			if !bytes.Equal(buf[:n], want[:n]) {
				t.Fatalf("wrong bytes at %d", offset)
			}
			offset += int64(n)
			if err == io.EOF {
				break
			}
			if err != nil {
				t.Fatalf("after %d bytes: %v", offset, err)
			}
		}
		resp.Body.Close()
		close(stop)
		<-sampled
		grown := int64(peak) - int64(before.HeapInuse)
		t.Logf("50 MiB in %v; heap in use grew by at most %d KiB", time.Since(started), grown>>10)
		if offset != streamChunks*64<<10 || resp.ContentLength != -1 {
			t.Errorf("%d bytes, Content-Length %d", offset, resp.ContentLength)
		}
		if grown > 16<<20 {
			t.Errorf("memory grew by %d MiB for a streamed response", grown>>20)
		}
	})

	t.Run("server-sent events one by one", func(t *testing.T) {
		resp, err := client.Get(web.Base + "/events")
		if err != nil {
			t.Fatal(err)
		}
		defer resp.Body.Close()
		if resp.Header.Get("Content-Type") != "text/event-stream" {
			t.Errorf("type %q", resp.Header.Get("Content-Type"))
		}
		lines := bufio.NewReader(resp.Body)
		for i := 1; i <= 3; i++ {
			started := time.Now()
			got := make(chan string, 1)
			go func() {
				line, _ := lines.ReadString('\n')
				blank, _ := lines.ReadString('\n')
				got <- line + blank
			}()
			select {
			case event := <-got:
				if event != fmt.Sprintf("data: event %d\n\n", i) {
					t.Fatalf("event %d: %q", i, event)
				}
				t.Logf("event %d after %v", i, time.Since(started))
			case <-time.After(20 * time.Second):
				t.Fatalf("event %d did not arrive before the next was written", i)
			}
			if i < 3 {
				events <- struct{}{}
			}
		}
	})

}

// backlog is the number of connections waiting in the accept queue of the listener on port.
func backlog(t *testing.T, port string) int {
	data, err := os.ReadFile("/proc/net/tcp")
	if err != nil {
		t.Skip("no /proc/net/tcp:", err)
	}
	var p int
	fmt.Sscan(port, &p)
	local := fmt.Sprintf("0100007F:%04X", p)
	for _, line := range strings.Split(string(data), "\n") {
		fields := strings.Fields(line)
		if len(fields) > 4 && fields[1] == local && fields[3] == "0A" {
			var queued int
			fmt.Sscanf(strings.SplitN(fields[4], ":", 2)[1], "%x", &queued)
			return queued
		}
	}
	return -1
}

func TestGracefulShutdownThroughGateway(t *testing.T) {
	started, release := make(chan struct{}), make(chan struct{})
	mux := http.NewServeMux()
	mux.HandleFunc("/slow", func(w http.ResponseWriter, r *http.Request) {
		close(started)
		<-release
		io.WriteString(w, "slow done")
	})
	mux.HandleFunc("/quick", func(w http.ResponseWriter, r *http.Request) {
		io.WriteString(w, "quick done")
	})
	srv := &dostrel.Server{Handler: mux, MaxConnections: 1}
	addr, _, served := serve(t, srv)
	web := gatewaytest.Start(t, addr)
	client := &http.Client{Timeout: 60 * time.Second}
	answers := make(chan string, 6)
	ask := func(path string) {
		resp, err := client.Get(web.Base + path)
		if err != nil {
			answers <- err.Error()
			return
		}
		body, _ := io.ReadAll(resp.Body)
		resp.Body.Close()
		answers <- fmt.Sprintf("%d %s", resp.StatusCode, body)
	}
	go ask("/slow")
	<-started
	for i := 0; i < 5; i++ {
		go ask("/quick")
	}
	// The five wait in the listen backlog, the one connection allowed being busy.
	_, port, _ := net.SplitHostPort(addr)
	deadline := time.Now().Add(30 * time.Second)
	for backlog(t, port) != 5 {
		if time.Now().After(deadline) {
			t.Fatalf("%d connections in the backlog, not 5", backlog(t, port))
		}
		time.Sleep(10 * time.Millisecond)
	}
	shutdown := make(chan error, 1)
	begun := time.Now()
	go func() {
		ctx, cancel := context.WithTimeout(context.Background(), 60*time.Second)
		defer cancel()
		shutdown <- srv.Shutdown(ctx)
	}()
	time.Sleep(300 * time.Millisecond)
	select {
	case err := <-shutdown:
		t.Fatalf("Shutdown returned with a request in flight: %v", err)
	default:
	}
	close(release)
	quick := 0
	for i := 0; i < 6; i++ {
		switch answer := <-answers; answer {
		case "200 quick done":
			quick++
		case "200 slow done":
		default:
			t.Errorf("answer %q", answer)
		}
	}
	if err := <-shutdown; err != nil || quick != 5 {
		t.Errorf("Shutdown: %v, %d quick answers", err, quick)
	}
	if err := served(); err != dostrel.ErrServerClosed {
		t.Errorf("Serve returned %v", err)
	}
	t.Logf("Shutdown took %v", time.Since(begun))
	if _, err := net.DialTimeout("tcp", addr, time.Second); err == nil {
		t.Errorf("still accepting after Shutdown")
	}
}
