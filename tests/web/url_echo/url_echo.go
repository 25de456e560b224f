// url_echo answers with the URL it was given, as net/http names its parts. Run with the address
// to listen on (port 0: any free port); it prints "listening on ADDRESS".
package main

import (
	"fmt"
	"net"
	"net/http"
	"os"

	"dostrel.dev/dostrel"
)

func main() {
	listener, err := net.Listen("tcp", os.Args[1])
	if err != nil {
		fmt.Fprintln(os.Stderr, err)
		os.Exit(1)
	}
	fmt.Printf("listening on %s\n", listener.Addr())
	echo := func(w http.ResponseWriter, r *http.Request) {
		w.Header().Set("Content-Type", "text/plain")
		fmt.Fprintf(w, "Path=%s\nEscapedPath=%s\nRawQuery=%s\nRequestURI=%s\nPrefix=%s\n",
			r.URL.Path, r.URL.EscapedPath(), r.URL.RawQuery, r.RequestURI, dostrel.Prefix(r))
	}
	fmt.Fprintln(os.Stderr, dostrel.Serve(listener, http.HandlerFunc(echo)))
}
