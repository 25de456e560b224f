// vectors_test.go -- the shared link-protocol vectors, decoded whole and a byte at a time.

package dostrel

import (
	"bytes"
	"context"
	"encoding/base64"
	"encoding/json"
	"io"
	"os"
	"path/filepath"
	"strings"
	"testing"
	"testing/iotest"
)

type vector struct {
	Expect     string           `json:"expect"`
	Reason     string           `json:"reason"`
	Limits     map[string]int64 `json:"limits"`
	Version    []uint32         `json:"version"`
	Variables  [][2]string      `json:"variables"`
	BodyBase64 string           `json:"body_base64"`
}

// latin1 turns a vector's JSON string into the bytes it stands for, one per character.
func latin1(s string) string {
	var b strings.Builder
	for _, r := range s {
		b.WriteByte(byte(r))
	}
	return b.String()
}

func TestVectors(t *testing.T) {
	files, _ := filepath.Glob("../tests/vectors/*.json")
	if len(files) < 20 {
		t.Fatalf("found %d vectors only", len(files))
	}
	trailer := []byte("after the request")
	for _, file := range files {
		name := strings.TrimSuffix(filepath.Base(file), ".json")
		var v vector
		text, err := os.ReadFile(file)
		if err == nil {
			err = json.Unmarshal(text, &v)
		}
		data, berr := os.ReadFile(strings.TrimSuffix(file, ".json") + ".bin")
		if err != nil || berr != nil {
			t.Fatalf("%s: %v %v", name, err, berr)
		}
		lim := defaultLimits
		for key, value := range v.Limits {
			switch key {
			case "max_keys":
				lim.keys = value
			case "max_variable_bytes":
				lim.variableBytes = value
			case "max_body_bytes":
				lim.bodyBytes = value
			default:
				t.Fatalf("%s: unknown limit %s", name, key)
			}
		}
		for _, oneByte := range []bool{false, true} {
			// Bytes after an accepted request must stay unread; a refused one ends where it ends.
			extra := trailer
			if v.Expect == "refuse" {
				extra = nil
			}
			input := bytes.NewReader(append(append([]byte(nil), data...), extra...))
			var r io.Reader = input
			l := lim
			if oneByte {
				// A byte at a time, and every body through the temporary file.
				r, l.bodyMemory = iotest.OneByteReader(input), 0
			}
			req, err := readRequest(r, l)
			how := map[bool]string{false: "whole", true: "byte at a time"}[oneByte]
			if v.Expect == "refuse" {
				refused, ok := err.(*refusal)
				if !ok || refused.reason != v.Reason {
					t.Errorf("%s (%s): want refusal %s, got %v", name, how, v.Reason, err)
				}
				continue
			}
			if err != nil {
				t.Errorf("%s (%s): refused: %v", name, how, err)
				continue
			}
			if input.Len() != len(trailer) {
				t.Errorf("%s (%s): %d bytes after the request read", name, how, len(trailer)-input.Len())
			}
			if req.major != v.Version[0] || req.minor != v.Version[1] {
				t.Errorf("%s (%s): version %d.%d", name, how, req.major, req.minor)
			}
			if len(req.variables) != len(v.Variables) {
				t.Errorf("%s (%s): %d variables, want %d", name, how, len(req.variables), len(v.Variables))
			} else {
				for i, want := range v.Variables {
					if got := req.variables[i]; got.name != latin1(want[0]) || got.value != latin1(want[1]) {
						t.Errorf("%s (%s): variable %d is %q=%q", name, how, i, got.name, got.value)
					}
				}
			}
			body, _ := io.ReadAll(req.body)
			req.body.Close()
			want, _ := base64.StdEncoding.DecodeString(v.BodyBase64)
			if !bytes.Equal(body, want) || req.bodyLength != int64(len(want)) {
				t.Errorf("%s (%s): body of %d bytes, want %d", name, how, len(body), len(want))
			}
		}
	}
}

// The recorded form post, as the handler sees it.
func TestRequestFromVector(t *testing.T) {
	data, err := os.ReadFile("../tests/vectors/typical-post.bin")
	if err != nil {
		t.Fatal(err)
	}
	link, err := readRequest(bytes.NewReader(data), defaultLimits)
	if err != nil {
		t.Fatal(err)
	}
	link.variables = append(link.variables, variable{"HTTP_PROXY", "http://evil/"},
		variable{"HTTPS", "on"})
	r := newRequest(context.Background(), link, "127.0.0.1:1")
	checks := map[string][2]string{
		"method":      {r.Method, "POST"},
		"path":        {r.URL.Path, "/shop/cart"},
		"query":       {r.URL.RawQuery, "item=42&n=1"},
		"request URI": {r.RequestURI, "/cgi-bin/dostrel/shop/cart?item=42&n=1"},
		"host":        {r.Host, "www.example.com"},
		"remote":      {r.RemoteAddr, "192.0.2.7:51234"},
		"proto":       {r.Proto, "HTTP/1.1"},
		"language":    {r.Header.Get("Accept-Language"), "de-CH, fr;q=0.5"},
		"type":        {r.Header.Get("Content-Type"), "application/x-www-form-urlencoded"},
		"length":      {r.Header.Get("Content-Length"), "16"},
		"proxy":       {r.Header.Get("Proxy"), ""},
		"form":        {r.FormValue("quantity") + r.FormValue("go") + r.FormValue("item"), "3ok42"},
		"script":      {Variables(r)["SCRIPT_NAME"], "/cgi-bin/dostrel"},
		"no proxy":    {Variables(r)["HTTP_PROXY"], ""},
	}
	for what, c := range checks {
		if c[0] != c[1] {
			t.Errorf("%s: %q, want %q", what, c[0], c[1])
		}
	}
	if c, err := r.Cookie("theme"); err != nil || c.Value != "dark" {
		t.Errorf("cookie theme: %v %v", c, err)
	}
	if r.TLS == nil || r.ContentLength != 16 {
		t.Errorf("TLS %v, ContentLength %d", r.TLS, r.ContentLength)
	}
}
