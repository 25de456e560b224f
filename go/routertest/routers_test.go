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

func created(w http.ResponseWriter, r *http.Request) {
	w.WriteHeader(http.StatusCreated)
	fmt.Fprintf(w, "created %s", r.FormValue("name"))
}

func TestRouters(t *testing.T) {
	chiApp := chi.NewRouter()
	chiApp.Use(middleware.RequestID)
	chiApp.Get("/items/{id}", func(w http.ResponseWriter, r *http.Request) {
		fmt.Fprintf(w, "item %s", chi.URLParam(r, "id"))
	})
	chiApp.Post("/items/", created)
	chiApp.Get("/boom", func(w http.ResponseWriter, r *http.Request) { panic("chi handler") })
	muxApp := mux.NewRouter()
	muxApp.HandleFunc("/items/{id:[0-9]+}", func(w http.ResponseWriter, r *http.Request) {
		fmt.Fprintf(w, "item %s", mux.Vars(r)["id"])
	}).Methods(http.MethodGet)
	muxApp.HandleFunc("/items/", created).Methods(http.MethodPost)
	muxApp.HandleFunc("/boom", func(w http.ResponseWriter, r *http.Request) { panic("mux handler") })
	gin.SetMode(gin.ReleaseMode)
	ginApp := gin.New()
	ginApp.GET("/items/:id", func(c *gin.Context) { c.String(http.StatusOK, "item %s", c.Param("id")) })
	ginApp.POST("/items/", func(c *gin.Context) { c.String(http.StatusCreated, "created %s", c.PostForm("name")) })
	ginApp.GET("/boom", func(c *gin.Context) { panic("gin handler") })

	client := &http.Client{Timeout: 60 * time.Second}
	for name, app := range map[string]http.Handler{"chi": chiApp, "gorilla/mux": muxApp, "gin": ginApp} {
		addr, logs, _ := gatewaytest.Serve(t, &dostrel.Server{Handler: app})
		web := gatewaytest.Start(t, addr)
		// gin answers an unrouted method with 404 unless told otherwise.
		unrouted := map[bool]int{false: 405, true: 404}[name == "gin"]
		for _, c := range []struct {
			method, path, form string
			status             int
			body               string
		}{
			{"GET", "/items/42", "", 200, "item 42"},
			{"POST", "/items/", url.Values{"name": {"lamp"}}.Encode(), 201, "created lamp"},
			{"GET", "/nothing/here", "", 404, ""},
			{"DELETE", "/items/42", "", unrouted, ""},
			{"GET", "/boom", "", 500, ""},
		} {
			req, _ := http.NewRequest(c.method, web.Base+c.path, strings.NewReader(c.form))
			req.Header.Set("Content-Type", "application/x-www-form-urlencoded")
			resp, err := client.Do(req)
			if err != nil {
				t.Fatalf("%s: %s %s: %v", name, c.method, c.path, err)
			}
			body, _ := io.ReadAll(resp.Body)
			resp.Body.Close()
			if resp.StatusCode != c.status || c.body != "" && string(body) != c.body {
				t.Errorf("%s: %s %s: %d %q, want %d %q", name, c.method, c.path, resp.StatusCode, body, c.status, c.body)
			}
		}
		if !strings.Contains(logs.String(), "panic serving GET /boom for 127.0.0.1:") {
			t.Errorf("%s: the panic is not in the log: %q", name, logs)
		}
	}
}
