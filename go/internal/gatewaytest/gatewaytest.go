// Package gatewaytest runs a dostrel.Server for a test, and lighttpd or the gateway alone in
// front of it: the tests drive Go application servers through the real gateway.
package gatewaytest

import (
	"bytes"
	"errors"
	"fmt"
	"log"
	"net"
	"os"
	"os/exec"
	"path/filepath"
	"runtime"
	"strings"
	"sync"
	"testing"
	"time"

	"dostrel.dev/dostrel"
)

// Log collects a server's log lines; safe for the server's goroutines.
type Log struct {
	mu  sync.Mutex
	buf bytes.Buffer
}

func (l *Log) Write(p []byte) (int, error) {
	l.mu.Lock()
	defer l.mu.Unlock()
	return l.buf.Write(p)
}

func (l *Log) String() string {
	l.mu.Lock()
	defer l.mu.Unlock()
	return l.buf.String()
}

// Serve runs srv on a free 127.0.0.1 port until the test ends, its log collected unless it
// has one; it returns the address, the log, and a function waiting for what Serve returns.
func Serve(t testing.TB, srv *dostrel.Server) (string, *Log, func() error) {
	t.Helper()
	logs := &Log{}
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

// gateway is the gateway of DOSTREL_BUILD; the test is skipped, saying why, without one.
func gateway(t testing.TB) string {
	build := os.Getenv("DOSTREL_BUILD")
	if build == "" {
		t.Skip("DOSTREL_BUILD names no build of the gateway (go/run_tests.sh sets it)")
	}
	return filepath.Join(build, "dostrel")
}

// install puts dostrel.cnf, linking every path to appAddr, into dir.
func install(t testing.TB, dir, appAddr string) {
	host, port, err := net.SplitHostPort(appAddr)
	if err == nil {
		config := fmt.Sprintf("link * tcp %s %s\n", host, port)
		err = os.WriteFile(filepath.Join(dir, "dostrel.cnf"), []byte(config), 0o644)
	}
	if err != nil {
		t.Fatal(err)
	}
}

// Web is a running lighttpd on 127.0.0.1 whose /cgi-bin/dostrel is the gateway.
type Web struct {
	// Base is the gateway's URL: Base + "/hello" reaches the application as /hello.
	Base string
	root string
}

// sourceDir is the checkout's top folder: DOSTREL_SOURCE, or found from this file's place.
func sourceDir() string {
	if dir := os.Getenv("DOSTREL_SOURCE"); dir != "" {
		return dir
	}
	_, file, _, _ := runtime.Caller(0)
	return filepath.Join(filepath.Dir(file), "..", "..", "..")
}

// Start runs lighttpd, with the configuration of examples/webservers, in front of the gateway
// linked to appAddr; the test's cleanup stops it.
func Start(t testing.TB, appAddr string) *Web {
	t.Helper()
	program, err := os.ReadFile(gateway(t))
	if err != nil {
		t.Skipf("no gateway: %v", err)
	}
	server, err := exec.LookPath("lighttpd")
	if err != nil {
		if server, err = exec.LookPath("/usr/sbin/lighttpd"); err != nil {
			t.Skip("lighttpd is not installed")
		}
	}
	root := t.TempDir()
	for _, dir := range []string{"cgi-bin", "logs", "htdocs"} {
		if err := os.MkdirAll(filepath.Join(root, dir), 0o755); err != nil {
			t.Fatal(err)
		}
	}
	if err := os.WriteFile(filepath.Join(root, "cgi-bin", "dostrel"), program, 0o755); err != nil {
		t.Fatal(err)
	}
	install(t, filepath.Join(root, "cgi-bin"), appAddr)
	template, err := os.ReadFile(filepath.Join(sourceDir(), "examples", "webservers", "lighttpd.conf"))
	if err != nil {
		t.Fatal(err)
	}
	text := strings.ReplaceAll(string(template), "@ROOT@", root)
	// Responses pass as they come: Server-Sent Events need it.
	if !strings.Contains(text, "server.stream-response-body") {
		text += "server.stream-response-body = 2\n"
	}
	web := &Web{root: root}
	for attempt := 0; attempt < 5; attempt++ { // another port if this one was taken meanwhile
		l, err := net.Listen("tcp", "127.0.0.1:0")
		if err != nil {
			t.Fatal(err)
		}
		port := l.Addr().(*net.TCPAddr).Port
		l.Close()
		path := filepath.Join(root, "lighttpd.conf")
		rendered := strings.ReplaceAll(text, "@PORT@", fmt.Sprint(port))
		if err := os.WriteFile(path, []byte(rendered), 0o644); err != nil {
			t.Fatal(err)
		}
		cmd := exec.Command(server, "-D", "-f", path)
		if err := cmd.Start(); err != nil {
			t.Fatal(err)
		}
		ended := make(chan struct{})
		go func() { cmd.Wait(); close(ended) }()
		if up(port, ended) {
			t.Cleanup(func() {
				cmd.Process.Signal(os.Interrupt)
				select {
				case <-ended:
				case <-time.After(10 * time.Second):
					cmd.Process.Kill()
					<-ended
				}
			})
			web.Base = fmt.Sprintf("http://127.0.0.1:%d/cgi-bin/dostrel", port)
			return web
		}
		cmd.Process.Kill()
		<-ended
	}
	t.Fatalf("lighttpd did not start; its log:\n%s", web.ErrorLog())
	return nil
}

func up(port int, ended chan struct{}) bool {
	for i := 0; i < 200; i++ {
		select {
		case <-ended:
			return false
		default:
		}
		if c, err := net.DialTimeout("tcp", fmt.Sprintf("127.0.0.1:%d", port), time.Second); err == nil {
			c.Close()
			return true
		}
		time.Sleep(25 * time.Millisecond)
	}
	return false
}

// ErrorLog is lighttpd's error log so far: the gateway's error lines land there.
func (w *Web) ErrorLog() string {
	data, _ := os.ReadFile(filepath.Join(w.root, "logs", "lighttpd-error.log"))
	return string(data)
}

// Run starts the gateway once, as a web server would for METHOD PATH, linked to appAddr, and
// returns its exit status, its standard output and its standard error.
func Run(t testing.TB, appAddr, method, path string) (int, []byte, string) {
	t.Helper()
	dir := t.TempDir()
	install(t, dir, appAddr)
	cmd := exec.Command(gateway(t))
	cmd.Dir = dir
	cmd.Env = []string{"GATEWAY_INTERFACE=CGI/1.1", "REQUEST_METHOD=" + method,
		"SCRIPT_NAME=/cgi-bin/dostrel", "PATH_INFO=" + path, "QUERY_STRING=",
		"SERVER_PROTOCOL=HTTP/1.1", "SERVER_NAME=localhost", "SERVER_PORT=80",
		"REMOTE_ADDR=127.0.0.1"}
	var stdout, stderr bytes.Buffer
	cmd.Stdout, cmd.Stderr = &stdout, &stderr
	started := time.Now()
	if err := cmd.Start(); err != nil {
		t.Fatal(err)
	}
	timer := time.AfterFunc(120*time.Second, func() { cmd.Process.Kill() })
	defer timer.Stop()
	err := cmd.Wait()
	var exit *exec.ExitError
	if err != nil && !errors.As(err, &exit) {
		t.Fatal(err)
	}
	t.Logf("gateway %s %s: exit %d after %v", method, path, cmd.ProcessState.ExitCode(),
		time.Since(started))
	return cmd.ProcessState.ExitCode(), stdout.Bytes(), stderr.String()
}
