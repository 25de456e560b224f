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

func TestApplicationThroughGateway(t *testing.T) {
	events, started, release := make(chan struct{}), make(chan struct{}), make(chan struct{})
	mux := http.NewServeMux()
	mux.HandleFunc("/echo", func(w http.ResponseWriter, r *http.Request) {
		_, hijack := w.(http.Hijacker)
		fmt.Fprintf(w, "%s %s ?%s %s %s %s tls=%v hijack=%v custom=%s proxy=%s%s script=%s form=%s",
			r.Method, r.URL.Path, r.URL.RawQuery, r.RequestURI, r.Proto, r.RemoteAddr[:10],
			r.TLS != nil, hijack, r.Header.Get("X-Custom"), r.Header.Get("Proxy"),
			dostrel.Variables(r)["HTTP_PROXY"], dostrel.Variables(r)["SCRIPT_NAME"],
			r.FormValue("name"))
	})
	mux.HandleFunc("/upload", func(w http.ResponseWriter, r *http.Request) {
		if file, header, err := r.FormFile("file"); err == nil {
			fmt.Fprintf(w, "%s %s\n", header.Filename, r.FormValue("note"))
			io.Copy(w, file)
		}
	})
	mux.HandleFunc("/login", func(w http.ResponseWriter, r *http.Request) {
		http.SetCookie(w, &http.Cookie{Name: "session", Value: "s1", Path: "/"})
		http.SetCookie(w, &http.Cookie{Name: "theme", Value: "dark", Path: "/"})
		// The application's paths are below the gateway's SCRIPT_NAME on the web server.
		http.Redirect(w, r, dostrel.Variables(r)["SCRIPT_NAME"]+"/whoami", http.StatusSeeOther)
	})
	mux.HandleFunc("/whoami", func(w http.ResponseWriter, r *http.Request) { io.WriteString(w, r.Header.Get("Cookie")) })
	mux.HandleFunc("/panic", func(w http.ResponseWriter, r *http.Request) {
		w.Header().Set("X-Lost", "yes")
		io.WriteString(w, "never sent")
		panic("early failure")
	})
	mux.HandleFunc("/stream", func(w http.ResponseWriter, r *http.Request) {
		chunk, err := make([]byte, 64<<10), error(nil)
		for i := int64(0); i < streamChunks && err == nil; i++ {
			pattern(i*int64(len(chunk)), chunk)
			_, err = w.Write(chunk)
		}
	})
	mux.HandleFunc("/events", func(w http.ResponseWriter, r *http.Request) {
		w.Header().Set("Content-Type", "text/event-stream")
		for i := 1; i <= 3; i++ {
			fmt.Fprintf(w, "data: event %d\n\n", i)
			w.(http.Flusher).Flush()
			<-events // the next event only once the client has this one
		}
	})
	mux.HandleFunc("/slow", func(w http.ResponseWriter, r *http.Request) {
		close(started)
		<-release
	})
	// One connection at a time: Shutdown, at the end, finds one request in flight and five queued.
	srv := &dostrel.Server{Handler: mux, MaxConnections: 1}
	addr, logs, served := gatewaytest.Serve(t, srv)
	web := gatewaytest.Start(t, addr)
	jar, _ := cookiejar.New(nil)
	client := &http.Client{Timeout: 60 * time.Second, Jar: jar}
	// call answers "STATUS[X-Lost] BODY", or the client's error.
	call := func(method, path, contentType string, body io.Reader) string {
		req, _ := http.NewRequest(method, web.Base+path, body)
		req.Header.Set("Content-Type", contentType)
		req.Header.Set("X-Custom", "yes")
		req.Header.Set("Proxy", "http://evil.example/")
		resp, err := client.Do(req)
		if err != nil {
			return err.Error()
		}
		got, _ := io.ReadAll(resp.Body) // a short body fails the comparison
		resp.Body.Close()
		return fmt.Sprint(resp.StatusCode, resp.Header.Get("X-Lost"), " ", string(got))
	}
	echo := " HTTP/1.1 127.0.0.1: tls=false hijack=false custom=yes proxy= script=/cgi-bin/dostrel form="
	for _, c := range [][4]string{
		{"GET", "/missing", "", "404 404 page not found\n"},
		{"GET", "/echo?a=1&b=%20", "", "200 GET /echo ?a=1&b=%20 /cgi-bin/dostrel/echo?a=1&b=%20" + echo},
		{"POST", "/echo?q=1", "name=Zo%C3%AB+%26+co", "200 POST /echo ?q=1 /cgi-bin/dostrel/echo?q=1" + echo + "Zoë & co"},
		{"GET", "/login", "", "200 session=s1; theme=dark"}, // both cookies, through the redirect
		{"GET", "/panic", "", "500 Internal Server Error\n"},
	} {
		if got := call(c[0], c[1], "application/x-www-form-urlencoded", strings.NewReader(c[2])); got != c[3] {
			t.Errorf("%s %s: %q, want %q", c[0], c[1], got, c[3])
		}
	}
	if log := logs.String(); strings.Count(log, "\n") != 1 || !strings.Contains(log, "panic serving GET /panic for 127.0.0.1:") {
		t.Errorf("not one line for the panic: %s", log)
	}

	data := make([]byte, 1<<20)
	rand.New(rand.NewSource(7)).Read(data)
	var upload bytes.Buffer
	mw := multipart.NewWriter(&upload)
	mw.WriteField("note", "one megabyte")
	part, _ := mw.CreateFormFile("file", "random.bin")
	part.Write(data)
	mw.Close()
	if got := call("POST", "/upload", mw.FormDataContentType(), &upload); got != "200 random.bin one megabyte\n"+string(data) {
		t.Errorf("upload: %d bytes back, starting %.40q", len(got), got)
	}

	// 50 MiB streamed: the heap in use (server's and client's), sampled as it goes, must not grow with it.
	runtime.GC()
	var before, sample runtime.MemStats
	runtime.ReadMemStats(&before)
	peak, streamed := before.HeapInuse, time.Now()
	resp, err := client.Get(web.Base + "/stream")
	if err != nil {
		t.Fatal(err)
	}
	var offset int64
	buf, want := make([]byte, 64<<10), make([]byte, 64<<10)
	for reads := 0; err == nil; reads++ {
		var n int
		n, err = resp.Body.Read(buf)
		if pattern(offset, want[:n]); !bytes.Equal(buf[:n], want[:n]) {
			t.Fatalf("wrong bytes at %d", offset)
		}
		if offset += int64(n); reads%64 == 0 {
			if runtime.ReadMemStats(&sample); sample.HeapInuse > peak {
				peak = sample.HeapInuse
			}
		}
	}
	resp.Body.Close()
	grown := int64(peak) - int64(before.HeapInuse)
	t.Logf("50 MiB in %v; the heap in use grew by at most %d KiB", time.Since(streamed), grown>>10)
	if err != io.EOF || offset != streamChunks*64<<10 || resp.ContentLength != -1 || grown > 16<<20 {
		t.Errorf("stream: %v after %d bytes, Content-Length %d, heap grown by %d", err, offset, resp.ContentLength, grown)
	}

	// Each event must arrive while the handler waits to be told it did (the client's timeout catches a hang).
	resp, err = client.Get(web.Base + "/events")
	if err != nil {
		t.Fatal(err)
	}
	lines := bufio.NewReader(resp.Body)
	for i := 1; i <= 3; i++ {
		line, err := lines.ReadString('\n')
		blank, _ := lines.ReadString('\n')
		if line+blank != fmt.Sprintf("data: event %d\n\n", i) {
			t.Fatalf("event %d: %q %v", i, line+blank, err)
		}
		events <- struct{}{}
	}
	resp.Body.Close()

	// A graceful Shutdown while /slow is in flight and five more requests are queued.
	answers := make(chan string, 6)
	for _, path := range []string{"/slow", "/whoami", "/whoami", "/whoami", "/whoami", "/whoami"} {
		go func(path string) { answers <- call("GET", path, "", nil) }(path)
		if path == "/slow" {
			<-started
		}
	}
	// The five wait in the listen backlog, the one connection allowed being busy.
	for deadline := time.Now().Add(30 * time.Second); backlog(t, addr) != 5; time.Sleep(10 * time.Millisecond) {
		if time.Now().After(deadline) {
			t.Fatalf("%d connections in the backlog, not 5", backlog(t, addr))
		}
	}
	ctx, cancel := context.WithTimeout(context.Background(), 60*time.Second)
	defer cancel()
	stopped, begun := make(chan error, 1), time.Now()
	go func() { stopped <- srv.Shutdown(ctx) }()
	if time.Sleep(300 * time.Millisecond); len(stopped) > 0 {
		t.Fatalf("Shutdown returned with a request in flight: %v", <-stopped)
	}
	close(release)
	count := map[string]int{}
	for i := 0; i < 6; i++ {
		count[<-answers]++
	}
	if err := <-stopped; err != nil || count["200 session=s1; theme=dark"] != 5 || count["200 "] != 1 {
		t.Errorf("Shutdown: %v; answers %v", err, count)
	}
	t.Logf("Shutdown took %v", time.Since(begun))
	if _, err := net.DialTimeout("tcp", addr, time.Second); err == nil || served() != dostrel.ErrServerClosed {
		t.Errorf("Serve returned %v; still accepting after Shutdown", served())
	}
}

// backlog is the number of connections waiting in the accept queue of the listener on addr.
func backlog(t *testing.T, addr string) int {
	data, err := os.ReadFile("/proc/net/tcp")
	if err != nil {
		t.Skip("no /proc/net/tcp:", err)
	}
	var port, queued int
	fmt.Sscanf(addr, "127.0.0.1:%d", &port)
	for _, line := range strings.Split(string(data), "\n") {
		f := strings.Fields(line)
		if len(f) > 4 && f[1] == fmt.Sprintf("0100007F:%04X", port) && f[3] == "0A" { // listening
			fmt.Sscanf(f[4], "00000000:%x", &queued)
			return queued
		}
	}
	return -1
}
