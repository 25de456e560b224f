// go_hello.go -- the benchmark's hello world on the Go package: an http.HandlerFunc answering
// "Hello, world!\n" on 127.0.0.1, port 0; prints "listening on 127.0.0.1:PORT".
package main

import (
	"fmt"
	"io"
	"log"
	"net"
	"net/http"

	"dostrel.dev/dostrel"
)

func main() {
	l, err := net.Listen("tcp", "127.0.0.1:0")
	if err != nil {
		log.Fatal(err)
	}
	fmt.Println("listening on", l.Addr())
	log.Fatal(dostrel.Serve(l, http.HandlerFunc(func(w http.ResponseWriter, r *http.Request) {
		w.Header().Set("Content-Type", "text/plain")
		io.WriteString(w, "Hello, world!\n")
	})))
}
