// Package gatewaytest runs lighttpd with this project's gateway as its CGI program, for tests
// that drive a Go application server through the real thing.
package gatewaytest

import (
	"errors"
	"fmt"
	"net"
	"os"
	"os/exec"
	"path/filepath"
	"runtime"
	"strings"
	"testing"
	"time"
)

// Web is a running lighttpd on 127.0.0.1 whose /cgi-bin/dostrel is the gateway.
type Web struct {
	// Base is the gateway's URL: Base + "/hello" reaches the application as /hello.
	Base string
	root string
}

// SourceDir is the checkout's top folder: DOSTREL_SOURCE, or found from this file's place.
func SourceDir() string {
	if dir := os.Getenv("DOSTREL_SOURCE"); dir != "" {
		return dir
	}
	_, file, _, _ := runtime.Caller(0)
	return filepath.Clean(filepath.Join(filepath.Dir(file), "..", "..", ".."))
}

func lighttpd() (string, error) {
	if path, err := exec.LookPath("lighttpd"); err == nil {
		return path, nil
	}
	if _, err := os.Stat("/usr/sbin/lighttpd"); err == nil {
		return "/usr/sbin/lighttpd", nil
	}
	return "", errors.New("lighttpd is not installed")
}

// Start runs lighttpd with the gateway of DOSTREL_BUILD, linked to the application server at
// appAddr ("127.0.0.1:PORT"); the test's cleanup stops it. Without DOSTREL_BUILD or lighttpd
// the test is skipped, saying why.
func Start(t testing.TB, appAddr string) *Web {
	t.Helper()
	build := os.Getenv("DOSTREL_BUILD")
	if build == "" {
		t.Skip("DOSTREL_BUILD names no build of the gateway (go/run_tests.sh sets it)")
	}
	gateway, err := os.ReadFile(filepath.Join(build, "dostrel"))
	if err != nil {
		t.Skipf("no gateway in DOSTREL_BUILD: %v", err)
	}
	server, err := lighttpd()
	if err != nil {
		t.Skip(err)
	}
	host, port, err := net.SplitHostPort(appAddr)
	if err != nil {
		t.Fatal(err)
	}
	root := t.TempDir()
	for _, dir := range []string{"cgi-bin", "logs", "htdocs"} {
		if err := os.MkdirAll(filepath.Join(root, dir), 0o755); err != nil {
			t.Fatal(err)
		}
	}
	if err := os.WriteFile(filepath.Join(root, "cgi-bin", "dostrel"), gateway, 0o755); err != nil {
		t.Fatal(err)
	}
	config := fmt.Sprintf("link * tcp %s %s\n", host, port)
	if err := os.WriteFile(filepath.Join(root, "cgi-bin", "dostrel.cnf"), []byte(config), 0o644); err != nil {
		t.Fatal(err)
	}
	template, err := os.ReadFile(filepath.Join(SourceDir(), "examples", "webservers", "lighttpd.conf"))
	if err != nil {
		t.Fatal(err)
	}
	text := strings.ReplaceAll(string(template), "@ROOT@", root)
	// Responses pass as they come: Server-Sent Events need it.
	if !strings.Contains(text, "server.stream-response-body") {
		text += "server.stream-response-body = 2\n"
	}
	for attempt := 0; attempt < 5; attempt++ {
		listener, err := net.Listen("tcp", "127.0.0.1:0")
		if err != nil {
			t.Fatal(err)
		}
		webPort := listener.Addr().(*net.TCPAddr).Port
		listener.Close()
		path := filepath.Join(root, "lighttpd.conf")
		rendered := strings.ReplaceAll(text, "@PORT@", fmt.Sprint(webPort))
		if err := os.WriteFile(path, []byte(rendered), 0o644); err != nil {
			t.Fatal(err)
		}
		cmd := exec.Command(server, "-D", "-f", path)
		if err := cmd.Start(); err != nil {
			t.Fatal(err)
		}
		ended := make(chan struct{})
		go func() { cmd.Wait(); close(ended) }()
		if up(webPort, ended) {
			t.Cleanup(func() {
				cmd.Process.Signal(os.Interrupt)
				select {
				case <-ended:
				case <-time.After(10 * time.Second):
					cmd.Process.Kill()
					<-ended
				}
			})
			return &Web{Base: fmt.Sprintf("http://127.0.0.1:%d/cgi-bin/dostrel", webPort), root: root}
		}
		cmd.Process.Kill()
		<-ended
	}
	t.Fatalf("lighttpd did not start; its log:\n%s", (&Web{root: root}).ErrorLog())
	return nil
}

func up(port int, ended chan struct{}) bool {
	for i := 0; i < 200; i++ {
		select {
		case <-ended:
			return false
		default:
		}
		c, err := net.DialTimeout("tcp", fmt.Sprintf("127.0.0.1:%d", port), time.Second)
		if err == nil {
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
	build := os.Getenv("DOSTREL_BUILD")
	if build == "" {
		t.Skip("DOSTREL_BUILD names no build of the gateway (go/run_tests.sh sets it)")
	}
	host, port, err := net.SplitHostPort(appAddr)
	if err != nil {
		t.Fatal(err)
	}
	dir := t.TempDir()
	config := fmt.Sprintf("link * tcp %s %s\n", host, port)
	if err := os.WriteFile(filepath.Join(dir, "dostrel.cnf"), []byte(config), 0o644); err != nil {
		t.Fatal(err)
	}
	cmd := exec.Command(filepath.Join(build, "dostrel"))
	cmd.Dir = dir
	cmd.Env = []string{"GATEWAY_INTERFACE=CGI/1.1", "REQUEST_METHOD=" + method,
		"SCRIPT_NAME=/cgi-bin/dostrel", "PATH_INFO=" + path, "QUERY_STRING=",
		"SERVER_PROTOCOL=HTTP/1.1", "SERVER_NAME=localhost", "SERVER_PORT=80",
		"REMOTE_ADDR=127.0.0.1"}
	var stdout, stderr strings.Builder
	cmd.Stdout, cmd.Stderr = &stdout, &stderr
	started := time.Now()
	if err := cmd.Start(); err != nil {
		t.Fatal(err)
	}
	timer := time.AfterFunc(120*time.Second, func() { cmd.Process.Kill() })
	defer timer.Stop()
	err = cmd.Wait()
	status := 0
	var exit *exec.ExitError
	if errors.As(err, &exit) {
		status = exit.ExitCode()
	} else if err != nil {
		t.Fatal(err)
	}
	t.Logf("gateway %s %s: exit %d after %v", method, path, status, time.Since(started))
	return status, []byte(stdout.String()), stderr.String()
}
