//go:build routers

// routers_test.go -- applications on the routers of Debian's Go packages, used as they come,
// served through lighttpd and the gateway: chi, gorilla/mux and gin. They are built in GOPATH
// mode from /usr/share/gocode (see go/run_tests.sh), hence the build tag: the module's own
// `go test ./...` needs nothing beyond the standard library.
package routertest

import (
	"fmt"
	"io"
	"net/http"
	"net/url"
	"strings"
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

func TestRouters(t *testing.T) {
	client := &http.Client{Timeout: 60 * time.Second}
	for _, app := range []struct {
		name    string
		handler http.Handler
	}{{"chi", chiApp()}, {"gorilla/mux", muxApp()}, {"gin", ginApp()}} {
		t.Run(app.name, func(t *testing.T) {
			addr, logs, _ := gatewaytest.Serve(t, &dostrel.Server{Handler: app.handler})
			web := gatewaytest.Start(t, addr)
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
