// go_linkload.go -- a load generator that plays the gateway: CONNS goroutines each open a
// connection, send one link request (GET /hello?QUERY), read the answer to the close and check
// that its body is the expected bytes, for SECONDS; prints the requests per second and the
// failures. It gives an application server's own rate over the link protocol, without a web
// server or a gateway. Built alone: go build go_linkload.go (standard library only).
package main

import (
	"bytes"
	"encoding/binary"
	"flag"
	"fmt"
	"io"
	"net"
	"os"
	"strings"
	"sync"
	"sync/atomic"
	"time"
)

func request(query string) []byte {
	vars := []string{"GATEWAY_INTERFACE=CGI/1.1", "REQUEST_METHOD=GET", "SCRIPT_NAME=",
		"PATH_INFO=/hello", "QUERY_STRING=" + query, "SERVER_NAME=localhost", "SERVER_PORT=80",
		"SERVER_PROTOCOL=HTTP/1.1", "REMOTE_ADDR=127.0.0.1"}
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
	text("")
	return b.Bytes()
}

// body is what follows the head's empty line (CR LF or LF line ends), or nil.
func body(answer []byte) []byte {
	for i := 0; i+1 < len(answer); i++ {
		if answer[i] != '\n' {
			continue
		}
		if answer[i+1] == '\n' {
			return answer[i+2:]
		}
		if answer[i+1] == '\r' && i+2 < len(answer) && answer[i+2] == '\n' {
			return answer[i+3:]
		}
	}
	return nil
}

func main() {
	port := flag.Int("port", 0, "the application server's port on 127.0.0.1")
	conns := flag.Int("conns", 4, "connections at once")
	seconds := flag.Float64("seconds", 1, "how long")
	query := flag.String("query", "", "the request's QUERY_STRING")
	expectFile := flag.String("expect", "", "a file holding the expected response body")
	flag.Parse()
	expect, err := os.ReadFile(*expectFile)
	if err != nil || *port == 0 {
		fmt.Fprintln(os.Stderr, "usage: go_linkload -port N -expect FILE [-conns N] [-seconds S] [-query Q]", err)
		os.Exit(2)
	}
	req := request(*query)
	addr := fmt.Sprintf("127.0.0.1:%d", *port)
	var done, failed atomic.Int64
	var stop atomic.Bool
	var wg sync.WaitGroup
	for i := 0; i < *conns; i++ {
		wg.Add(1)
		go func() {
			defer wg.Done()
			answer := make([]byte, 0, 8192)
			for !stop.Load() {
				ok := false
				if c, err := net.Dial("tcp", addr); err == nil {
					if _, err := c.Write(req); err == nil {
						buf := bytes.NewBuffer(answer[:0])
						_, err = io.Copy(buf, c)
						answer = buf.Bytes()
						ok = err == nil && bytes.Equal(body(answer), expect)
					}
					c.Close()
				}
				if ok {
					done.Add(1)
				} else {
					failed.Add(1)
				}
			}
		}()
	}
	time.Sleep(time.Duration(*seconds * float64(time.Second)))
	stop.Store(true)
	wg.Wait()
	fmt.Printf("%.0f requests/s, %d failed\n", float64(done.Load())/(*seconds), failed.Load())
	if failed.Load() != 0 {
		os.Exit(1)
	}
}
