// Package gatewaytest runs a dostrel.Server for a test, and lighttpd or the gateway alone in
// front of it: the tests drive Go application servers through the real gateway.
package gatewaytest

import (
	"bufio"
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
	"syscall"
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

// Start runs lighttpd in front of the gateway linked to appAddr (on 127.0.0.1), by the shared
// web harness, tests/support/web_gateway.sh; the test's cleanup stops it.
func Start(t testing.TB, appAddr string) *Web {
	t.Helper()
	build := filepath.Dir(gateway(t))
	_, port, err := net.SplitHostPort(appAddr)
	if err != nil {
		t.Fatal(err)
	}
	web := &Web{root: t.TempDir()}
	cmd := exec.Command("bash", filepath.Join(sourceDir(), "tests", "support", "web_gateway.sh"),
		build, web.root, port)
	out, err := cmd.StdoutPipe()
	if err == nil {
		err = cmd.Start()
	}
	if err != nil {
		t.Fatal(err)
	}
	t.Cleanup(func() {
		cmd.Process.Signal(syscall.SIGTERM)
		cmd.Wait()
	})
	line, _ := bufio.NewReader(out).ReadString('\n')
	if !strings.HasPrefix(line, "listening on ") {
		t.Fatalf("lighttpd did not start; its log:\n%s", web.ErrorLog())
	}
	web.Base = "http://" + strings.TrimSpace(strings.TrimPrefix(line, "listening on ")) + "/cgi-bin/dostrel"
	return web
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
