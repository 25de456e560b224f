//go:build routers

// routers_test.go -- applications on the routers of Debian's Go packages, used as they come,
// served through lighttpd and the gateway: chi, gorilla/mux and gin. They are built in GOPATH
// mode from /usr/share/gocode (see go/run_tests.sh), hence the build tag: the module's own
// `go test ./...` needs nothing beyond the standard library.
package routertest

import (
	"fmt"
	"io"
	"log"
	"net"
	"net/http"
	"net/url"
	"strings"
	"sync"
	"testing"
	"time"

	"dostrel.dev/dostrel"
	"dostrel.dev/dostrel/internal/gatewaytest"
	"github.com/gin-gonic/gin"
	"github.com/go-chi/chi/v5"
	"github.com/go-chi/chi/v5/middleware"
	"github.com/gorilla/mux"
)

func chiApp() http.Handler {
	r := chi.NewRouter()
	r.Use(middleware.RequestID)
	r.Route("/items", func(r chi.Router) {
		r.Get("/{id}", func(w http.ResponseWriter, r *http.Request) {
			fmt.Fprintf(w, "item %s", chi.URLParam(r, "id"))
		})
		r.Post("/", func(w http.ResponseWriter, r *http.Request) {
			w.WriteHeader(http.StatusCreated)
			fmt.Fprintf(w, "created %s", r.FormValue("name"))
		})
	})
	r.Get("/boom", func(w http.ResponseWriter, r *http.Request) { panic("chi handler") })
	return r
}

func muxApp() http.Handler {
	r := mux.NewRouter()
	r.HandleFunc("/items/{id:[0-9]+}", func(w http.ResponseWriter, r *http.Request) {
		fmt.Fprintf(w, "item %s", mux.Vars(r)["id"])
	}).Methods(http.MethodGet)
	r.HandleFunc("/items/", func(w http.ResponseWriter, r *http.Request) {
		w.WriteHeader(http.StatusCreated)
		fmt.Fprintf(w, "created %s", r.FormValue("name"))
	}).Methods(http.MethodPost)
	r.HandleFunc("/boom", func(w http.ResponseWriter, r *http.Request) { panic("mux handler") })
	return r
}

func ginApp() http.Handler {
	gin.SetMode(gin.ReleaseMode)
	r := gin.New()
	r.GET("/items/:id", func(c *gin.Context) { c.String(http.StatusOK, "item %s", c.Param("id")) })
	r.POST("/items/", func(c *gin.Context) { c.String(http.StatusCreated, "created %s", c.PostForm("name")) })
	r.GET("/boom", func(c *gin.Context) { panic("gin handler") })
	return r
}

type logBuffer struct {
	mu sync.Mutex
	b  strings.Builder
}

func (l *logBuffer) Write(p []byte) (int, error) {
	l.mu.Lock()
	defer l.mu.Unlock()
	return l.b.Write(p)
}

func (l *logBuffer) String() string {
	l.mu.Lock()
	defer l.mu.Unlock()
	return l.b.String()
}

func TestRouters(t *testing.T) {
	client := &http.Client{Timeout: 60 * time.Second}
	for _, app := range []struct {
		name    string
		handler http.Handler
	}{{"chi", chiApp()}, {"gorilla/mux", muxApp()}, {"gin", ginApp()}} {
		t.Run(app.name, func(t *testing.T) {
			logs := &logBuffer{}
			srv := &dostrel.Server{Handler: app.handler, ErrorLog: log.New(logs, "", 0)}
			l, err := net.Listen("tcp", "127.0.0.1:0")
			if err != nil {
				t.Fatal(err)
			}
			done := make(chan error, 1)
			go func() { done <- srv.Serve(l) }()
			defer func() {
				srv.Close()
				<-done
			}()
			web := gatewaytest.Start(t, l.Addr().String())
			call := func(method, path string, form url.Values) (int, string) {
				t.Helper()
				req, _ := http.NewRequest(method, web.Base+path, strings.NewReader(form.Encode()))
				if form != nil {
					req.Header.Set("Content-Type", "application/x-www-form-urlencoded")
				}
				resp, err := client.Do(req)
				if err != nil {
					t.Fatalf("%s %s: %v", method, path, err)
				}
				body, _ := io.ReadAll(resp.Body)
				resp.Body.Close()
				return resp.StatusCode, string(body)
			}
			checks := []struct {
				method, path string
				form         url.Values
				status       int
				body         string
			}{
				{"GET", "/items/42", nil, 200, "item 42"},
				{"POST", "/items/", url.Values{"name": {"lamp"}}, 201, "created lamp"},
				{"GET", "/nothing/here", nil, 404, ""},
				{"DELETE", "/items/42", nil, 405, ""},
				{"GET", "/boom", nil, 500, ""},
			}
			for _, c := range checks {
				status, body := call(c.method, c.path, c.form)
				// gin answers an unrouted method with 404 unless told otherwise.
				if c.status == 405 && app.name == "gin" {
					c.status = 404
				}
				if status != c.status || c.body != "" && body != c.body {
					t.Errorf("%s %s: %d %q, want %d %q", c.method, c.path, status, body, c.status, c.body)
				}
			}
			if !strings.Contains(logs.String(), "panic serving GET /boom for 127.0.0.1:") {
				t.Errorf("the panic is not in the log: %q", logs)
			}
		})
	}
}
