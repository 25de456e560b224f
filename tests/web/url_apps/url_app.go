// url_app answers over the link with the URL it was given, as net/http names its parts, and
// serves golang.org/x/net/webdav's handler under /litmus/: at the site root as it is, under
// PREFIX through dostrel.PublicPath. The same handler on plain net/http at HTTP-ADDRESS, over
// a file system of its own. Prints "listening on ADDRESS" for each, the link's first.
//
//	url_app LINK-ADDRESS HTTP-ADDRESS PREFIX
package main

import (
	"fmt"
	"net"
	"net/http"
	"os"
	"strings"

	"dostrel.dev/dostrel"
	"golang.org/x/net/webdav"
)

func dav(prefix string) *webdav.Handler {
	return &webdav.Handler{Prefix: prefix, FileSystem: webdav.NewMemFS(), LockSystem: webdav.NewMemLS()}
}

func echo(w http.ResponseWriter, r *http.Request) {
	w.Header().Set("Content-Type", "text/plain")
	fmt.Fprintf(w, "Path=%s\nEscapedPath=%s\nRawQuery=%s\nRequestURI=%s\nPrefix=%s\n",
		r.URL.Path, r.URL.EscapedPath(), r.URL.RawQuery, r.RequestURI, dostrel.Prefix(r))
}

func main() {
	var listeners []net.Listener
	for _, address := range os.Args[1:3] {
		l, err := net.Listen("tcp", address)
		if err != nil {
			fmt.Fprintln(os.Stderr, err)
			os.Exit(1)
		}
		listeners = append(listeners, l)
	}
	// In one write: whoever waits for the first line finds the second.
	fmt.Printf("listening on %s\nlistening on %s\n", listeners[0].Addr(), listeners[1].Addr())
	go func() { fmt.Fprintln(os.Stderr, http.Serve(listeners[1], dav(""))) }()
	root, below := dav(""), dostrel.PublicPath(dav(os.Args[3]))
	fmt.Fprintln(os.Stderr, dostrel.Serve(listeners[0], http.HandlerFunc(func(w http.ResponseWriter, r *http.Request) {
		switch {
		case !strings.HasPrefix(r.URL.Path, "/litmus/"):
			echo(w, r)
		case dostrel.Prefix(r) == "":
			root.ServeHTTP(w, r)
		default:
			below.ServeHTTP(w, r)
		}
	})))
}
