// The guest book: a chi application served by the dostrel package behind the gateway.
//
//	guestbook [-listen 127.0.0.1:9000] [-allow 10.0.0.0/24,...]
//
// It prints "listening on ADDRESS" once it accepts connections. SIGTERM stops it gracefully
// (what is queued and in flight is served first); SIGINT and SIGQUIT stop it at once.
package main

import (
	"context"
	"flag"
	"fmt"
	"html/template"
	"log"
	"net"
	"net/http"
	"os"
	"os/signal"
	"strings"
	"sync"
	"syscall"
	"time"

	"dostrel.dev/dostrel"
	"github.com/go-chi/chi/v5"
	"github.com/go-chi/chi/v5/middleware"
)

var page = template.Must(template.New("page").Parse(`<!doctype html>
<title>Guest book</title>
<h1>Guest book</h1>
<form method="post" action="{{.Base}}/sign">
<input name="entry" maxlength="200" autofocus> <button>Sign</button>
</form>
<ul>{{range .Entries}}<li>{{.}}</li>{{else}}<li>Nobody has signed yet.</li>{{end}}</ul>
`))

type book struct {
	mu      sync.Mutex
	entries []string
}

func (b *book) routes() http.Handler {
	r := chi.NewRouter()
	// One line per request on standard error, as the package's own log lines.
	r.Use(middleware.RequestLogger(&middleware.DefaultLogFormatter{
		Logger: log.New(os.Stderr, "", log.LstdFlags), NoColor: true}))
	r.Get("/", func(w http.ResponseWriter, r *http.Request) {
		b.mu.Lock()
		entries := append([]string(nil), b.entries...)
		b.mu.Unlock()
		w.Header().Set("Content-Type", "text/html; charset=utf-8")
		page.Execute(w, map[string]any{"Base": base(r), "Entries": entries})
	})
	r.Post("/sign", func(w http.ResponseWriter, r *http.Request) {
		entry := strings.TrimSpace(r.PostFormValue("entry"))
		if entry == "" || len(entry) > 200 {
			http.Error(w, "an entry is 1 to 200 characters", http.StatusBadRequest)
			return
		}
		b.mu.Lock()
		b.entries = append(b.entries, entry)
		b.mu.Unlock()
		// The application's paths lie below the gateway's own on the web server.
		http.Redirect(w, r, base(r)+"/", http.StatusSeeOther)
	})
	r.Get("/hello", func(w http.ResponseWriter, r *http.Request) {
		fmt.Fprintf(w, "Hello from %s over the link, for %s\n", r.URL.Path, r.RemoteAddr)
	})
	return r
}

// base is where the web server mounts the application: the public prefix, empty at the site
// root.
func base(r *http.Request) string {
	return dostrel.Prefix(r)
}

func main() {
	listen := flag.String("listen", "127.0.0.1:9000", "the address to listen on (port 0: any free port)")
	allow := flag.String("allow", "", "comma-separated addresses and CIDR blocks that may connect (default: any)")
	flag.Parse()
	srv := &dostrel.Server{Handler: (&book{}).routes(), WriteTimeout: time.Minute}
	if *allow != "" {
		srv.Allow = strings.Split(*allow, ",")
	}
	l, err := net.Listen("tcp", *listen)
	if err != nil {
		log.Fatal(err)
	}
	fmt.Println("listening on", l.Addr())

	stopped := make(chan struct{})
	signals := make(chan os.Signal, 1)
	signal.Notify(signals, syscall.SIGTERM, syscall.SIGINT, syscall.SIGQUIT)
	go func() {
		defer close(stopped)
		if <-signals != syscall.SIGTERM {
			srv.Close()
			return
		}
		ctx, cancel := context.WithTimeout(context.Background(), 30*time.Second)
		defer cancel()
		if err := srv.Shutdown(ctx); err != nil {
			log.Printf("graceful stop: %v", err)
		}
	}()
	if err := srv.Serve(l); err != dostrel.ErrServerClosed {
		log.Fatal(err)
	}
	<-stopped
}
