// gateway_test.go -- a plain http.ServeMux application through lighttpd and the real gateway:
// the request's fields, forms, an upload, cookies, a redirect, 404, panics, a 50 MB stream in
// flat memory, Server-Sent Events one by one; and a graceful Shutdown with requests queued.

package dostrel_test

import (
	"bufio"
	"bytes"
	"context"
	"fmt"
	"io"
	"math/rand"
	"mime/multipart"
	"net"
	"net/http"
	"net/http/cookiejar"
	"os"
	"runtime"
	"strconv"
	"strings"
	"testing"
	"time"

	"dostrel.dev/dostrel"
	"dostrel.dev/dostrel/internal/gatewaytest"
)

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
	mux.HandleFunc("/echo", func(w http.ResponseWriter, r *http.Request) {
		_, hijack := w.(http.Hijacker)
		fmt.Fprintf(w, "%s %s ?%s %s %s %s tls=%v hijack=%v custom=%s proxy=%s%s script=%s form=%s",
			r.Method, r.URL.Path, r.URL.RawQuery, r.RequestURI, r.Proto, r.RemoteAddr[:10],
			r.TLS != nil, hijack, r.Header.Get("X-Custom"), r.Header.Get("Proxy"),
			dostrel.Variables(r)["HTTP_PROXY"], dostrel.Variables(r)["SCRIPT_NAME"],
			r.FormValue("name"))
	})
	mux.HandleFunc("/upload", func(w http.ResponseWriter, r *http.Request) {
		file, header, err := r.FormFile("file")
		if err != nil {
			http.Error(w, err.Error(), http.StatusBadRequest)
			return
		}
		defer file.Close()
		w.Header().Set("X-Upload", header.Filename+" "+r.FormValue("note"))
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
	mux.HandleFunc("/panic", func(w http.ResponseWriter, r *http.Request) {
		w.Header().Set("X-Lost", "yes")
		io.WriteString(w, "never sent")
		panic("early failure")
	})
	mux.HandleFunc("/stream", func(w http.ResponseWriter, r *http.Request) {
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
				<-events // the next event only once the client has this one
			}
		}
	})
	return mux
}

func TestApplicationThroughGateway(t *testing.T) {
	events := make(chan struct{})
	addr, logs, _ := gatewaytest.Serve(t, &dostrel.Server{Handler: application(events)})
	web := gatewaytest.Start(t, addr)
	jar, _ := cookiejar.New(nil)
	client := &http.Client{Timeout: 60 * time.Second, Jar: jar}
	do := func(method, path, contentType string, body io.Reader) (*http.Response, string) {
		t.Helper()
		req, _ := http.NewRequest(method, web.Base+path, body)
		req.Header.Set("Content-Type", contentType)
		req.Header.Set("X-Custom", "yes")
		req.Header.Set("Proxy", "http://evil.example/")
		resp, err := client.Do(req)
		if err != nil {
			t.Fatalf("%s %s: %v", method, path, err)
		}
		defer resp.Body.Close()
		got, err := io.ReadAll(resp.Body)
		if err != nil {
			t.Fatalf("%s %s: body: %v", method, path, err)
		}
		return resp, string(got)
	}
	form := "application/x-www-form-urlencoded"
	for _, c := range []struct {
		method, path, body string
		status             int
		want               string
	}{
		{"GET", "/hello", "", 200, "Hello, world!"},
		{"GET", "/missing", "", 404, "404 page not found\n"},
		{"GET", "/echo?a=1&b=%20", "", 200, "GET /echo ?a=1&b=%20 /cgi-bin/dostrel/echo?a=1&b=%20 " +
			"HTTP/1.1 127.0.0.1: tls=false hijack=false custom=yes proxy= script=/cgi-bin/dostrel form="},
		{"POST", "/echo?q=1", "name=Zo%C3%AB+%26+co", 200, "POST /echo ?q=1 /cgi-bin/dostrel/echo?q=1 " +
			"HTTP/1.1 127.0.0.1: tls=false hijack=false custom=yes proxy= script=/cgi-bin/dostrel form=Zoë & co"},
		{"GET", "/login", "", 200, "session s1, 2 cookies"}, // through the redirect
		{"GET", "/panic", "", 500, "Internal Server Error\n"},
	} {
		resp, got := do(c.method, c.path, form, strings.NewReader(c.body))
		if resp.StatusCode != c.status || got != c.want || resp.Header.Get("X-Lost") != "" {
			t.Errorf("%s %s: %d %q, want %d %q", c.method, c.path, resp.StatusCode, got, c.status, c.want)
		}
		if c.path == "/hello" && (resp.ContentLength != 13 || resp.Header.Get("Content-Type") != "text/plain; charset=utf-8") {
			t.Errorf("/hello: Content-Length %d, type %q", resp.ContentLength, resp.Header.Get("Content-Type"))
		}
	}
	if log := logs.String(); strings.Count(log, "\n") != 1 ||
		!strings.Contains(log, "panic serving GET /panic for 127.0.0.1:") || !strings.Contains(log, "early failure at ") {
		t.Errorf("not one line for the panic: %s", log)
	}
	noFollow := &http.Client{CheckRedirect: func(*http.Request, []*http.Request) error { return http.ErrUseLastResponse }}
	if resp, err := noFollow.Get(web.Base + "/login"); err != nil || resp.StatusCode != 303 ||
		resp.Header.Get("Location") != "/cgi-bin/dostrel/whoami" || len(resp.Cookies()) != 2 {
		t.Errorf("redirect: %v %v", resp, err)
	}

	data := make([]byte, 1<<20)
	rand.New(rand.NewSource(7)).Read(data)
	var upload bytes.Buffer
	mw := multipart.NewWriter(&upload)
	mw.WriteField("note", "one megabyte")
	part, _ := mw.CreateFormFile("file", "random.bin")
	part.Write(data)
	mw.Close()
	resp, got := do("POST", "/upload", mw.FormDataContentType(), &upload)
	if got != string(data) || resp.Header.Get("X-Upload") != "random.bin one megabyte" {
		t.Errorf("upload: %d, %d bytes back, %q", resp.StatusCode, len(got), resp.Header.Get("X-Upload"))
	}

	// 50 MiB streamed: the heap in use must not grow with it.
	runtime.GC()
	var before, sample runtime.MemStats
	runtime.ReadMemStats(&before)
	peak, stop, sampled := before.HeapInuse, make(chan struct{}), make(chan struct{})
	go func() {
		defer close(sampled)
		for {
			select {
			case <-stop:
				return
			case <-time.After(20 * time.Millisecond):
			}
			if runtime.ReadMemStats(&sample); sample.HeapInuse > peak {
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
	buf, want := make([]byte, 64<<10), make([]byte, 64<<10)
	for err == nil {
		var n int
		n, err = resp.Body.Read(buf)
		if pattern(offset, want[:n]); !bytes.Equal(buf[:n], want[:n]) {
			t.Fatalf("wrong bytes at %d", offset)
		}
		offset += int64(n)
	}
	resp.Body.Close()
	close(stop)
	<-sampled
	grown := int64(peak) - int64(before.HeapInuse)
	t.Logf("50 MiB in %v; the heap in use grew by at most %d KiB", time.Since(started), grown>>10)
	if err != io.EOF || offset != streamChunks*64<<10 || resp.ContentLength != -1 || grown > 16<<20 {
		t.Errorf("stream: %v after %d bytes, Content-Length %d, heap grown by %d", err, offset,
			resp.ContentLength, grown)
	}

	resp, err = client.Get(web.Base + "/events")
	if err != nil {
		t.Fatal(err)
	}
	defer resp.Body.Close()
	lines := bufio.NewReader(resp.Body)
	for i := 1; i <= 3; i++ {
		event := make(chan string, 1)
		go func() {
			line, _ := lines.ReadString('\n')
			blank, _ := lines.ReadString('\n')
			event <- line + blank
		}()
		select {
		case e := <-event:
			if e != fmt.Sprintf("data: event %d\n\n", i) {
				t.Fatalf("event %d: %q", i, e)
			}
		case <-time.After(20 * time.Second):
			t.Fatalf("event %d did not arrive before the next was written", i)
		}
		if i < 3 {
			events <- struct{}{}
		}
	}
}

// backlog is the number of connections waiting in the accept queue of the listener on port.
func backlog(t *testing.T, port int) int {
	data, err := os.ReadFile("/proc/net/tcp")
	if err != nil {
		t.Skip("no /proc/net/tcp:", err)
	}
	for _, line := range strings.Split(string(data), "\n") {
		var queued int
		fields := strings.Fields(line)
		if len(fields) > 4 && fields[1] == fmt.Sprintf("0100007F:%04X", port) && fields[3] == "0A" {
			fmt.Sscanf(fields[4], "00000000:%x", &queued)
			return queued
		}
	}
	return -1
}

func TestGracefulShutdownThroughGateway(t *testing.T) {
	started, release := make(chan struct{}), make(chan struct{})
	srv := &dostrel.Server{MaxConnections: 1, Handler: http.HandlerFunc(func(w http.ResponseWriter, r *http.Request) {
		if r.URL.Path == "/slow" {
			close(started)
			<-release
		}
		io.WriteString(w, r.URL.Path+" done")
	})}
	addr, _, served := gatewaytest.Serve(t, srv)
	web := gatewaytest.Start(t, addr)
	answers := make(chan string, 6)
	ask := func(path string) {
		resp, err := (&http.Client{Timeout: 60 * time.Second}).Get(web.Base + path)
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
	_, portText, _ := net.SplitHostPort(addr)
	port, _ := strconv.Atoi(portText)
	for deadline := time.Now().Add(30 * time.Second); backlog(t, port) != 5; time.Sleep(10 * time.Millisecond) {
		if time.Now().After(deadline) {
			t.Fatalf("%d connections in the backlog, not 5", backlog(t, port))
		}
	}
	shutdown, begun := make(chan error, 1), time.Now()
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
	count := map[string]int{}
	for i := 0; i < 6; i++ {
		count[<-answers]++
	}
	if err := <-shutdown; err != nil || count["200 /quick done"] != 5 || count["200 /slow done"] != 1 {
		t.Errorf("Shutdown: %v; answers %v", err, count)
	}
	if err := served(); err != dostrel.ErrServerClosed {
		t.Errorf("Serve returned %v", err)
	}
	t.Logf("Shutdown took %v", time.Since(begun))
	if _, err := net.DialTimeout("tcp", addr, time.Second); err == nil {
		t.Errorf("still accepting after Shutdown")
	}
}
