// dav_server serves golang.org/x/net/webdav's handler twice, each over its own in-memory file
// system: over the link at LINK-ADDRESS and on plain net/http at HTTP-ADDRESS. Through the
// gateway it serves at the site root and, wrapped in dostrel.PublicPath, under PREFIX. Prints
// "listening on ADDRESS" for each (the link's first).
//
//	dav_server LINK-ADDRESS HTTP-ADDRESS PREFIX
package main

import (
	"fmt"
	"net"
	"net/http"
	"os"

	"dostrel.dev/dostrel"
	"golang.org/x/net/webdav"
)

func handler(prefix string) *webdav.Handler {
	return &webdav.Handler{Prefix: prefix, FileSystem: webdav.NewMemFS(), LockSystem: webdav.NewMemLS()}
}

func listen(address string) net.Listener {
	l, err := net.Listen("tcp", address)
	if err != nil {
		fmt.Fprintln(os.Stderr, err)
		os.Exit(1)
	}
	fmt.Printf("listening on %s\n", l.Addr())
	return l
}

func main() {
	link, direct := listen(os.Args[1]), listen(os.Args[2])
	root, below := handler(""), dostrel.PublicPath(handler(os.Args[3]))
	go func() { fmt.Fprintln(os.Stderr, http.Serve(direct, handler(""))) }()
	fmt.Fprintln(os.Stderr, dostrel.Serve(link, http.HandlerFunc(func(w http.ResponseWriter, r *http.Request) {
		if dostrel.Prefix(r) == "" {
			root.ServeHTTP(w, r)
		} else {
			below.ServeHTTP(w, r)
		}
	})))
}
