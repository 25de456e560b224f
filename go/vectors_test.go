// vectors_test.go -- the shared link-protocol vectors, decoded whole and a byte at a time.

package dostrel

import (
	"bytes"
	"context"
	"encoding/base64"
	"encoding/json"
	"fmt"
	"io"
	"os"
	"path/filepath"
	"strings"
	"testing"
	"testing/iotest"
)

func TestVectors(t *testing.T) {
	files, _ := filepath.Glob("../tests/vectors/*.json")
	if len(files) < 20 {
		t.Fatalf("found %d vectors only", len(files))
	}
	trailer := "after the request"
	for _, file := range files {
		var v struct {
			Expect, Reason string
			BodyBase64     string `json:"body_base64"`
			Limits         map[string]int64
			Version        []uint32
			Variables      [][2]string
		}
		text, err := os.ReadFile(file)
		if err == nil {
			err = json.Unmarshal(text, &v)
		}
		data, berr := os.ReadFile(strings.TrimSuffix(file, ".json") + ".bin")
		if err != nil || berr != nil {
			t.Fatalf("%s: %v %v", file, err, berr)
		}
		lim := defaultLimits
		fields := map[string]*int64{"max_keys": &lim.keys, "max_variable_bytes": &lim.variableBytes,
			"max_body_bytes": &lim.bodyBytes}
		for key, value := range v.Limits {
			if fields[key] == nil {
				t.Fatalf("%s: unknown limit %s", file, key)
			}
			*fields[key] = value
		}
		// The variables as the decoder should give them: a vector's string is one byte per character.
		var want strings.Builder
		for _, pair := range v.Variables {
			for _, s := range pair {
				b := []byte{}
				for _, r := range s {
					b = append(b, byte(r))
				}
				fmt.Fprintf(&want, "%q ", b)
			}
		}
		wantBody, _ := base64.StdEncoding.DecodeString(v.BodyBase64)
		for _, how := range []string{"whole", "byte at a time"} {
			name := filepath.Base(file) + " " + how
			// Bytes after an accepted request must stay unread; a refused one ends where it ends.
			input := bytes.NewReader(data)
			if v.Expect != "refuse" {
				input = bytes.NewReader(append(data[:len(data):len(data)], trailer...))
			}
			var r io.Reader = input
			l := lim
			if how != "whole" { // and every body through the temporary file
				r, l.bodyMemory = iotest.OneByteReader(input), 0
			}
			req, err := readRequest(r, l)
			if v.Expect == "refuse" {
				if refused, ok := err.(*refusal); !ok || refused.reason != v.Reason {
					t.Errorf("%s: want refusal %s, got %v", name, v.Reason, err)
				}
				continue
			} else if err != nil {
				t.Errorf("%s: refused: %v", name, err)
				continue
			}
			var got strings.Builder
			for _, variable := range req.variables {
				fmt.Fprintf(&got, "%q %q ", variable.name, variable.value)
			}
			body, _ := io.ReadAll(req.body)
			req.body.Close()
			if input.Len() != len(trailer) || req.major != v.Version[0] || req.minor != v.Version[1] ||
				got.String() != want.String() || !bytes.Equal(body, wantBody) || req.bodyLength != int64(len(wantBody)) {
				t.Errorf("%s: %d bytes left, version %d.%d, body of %d bytes, variables:\n%s", name,
					input.Len(), req.major, req.minor, len(body), got.String())
			}
		}
	}
}

// The recorded form post as the handler sees it, with HTTPS on and a forged HTTP_PROXY.
func TestRequestFromVector(t *testing.T) {
	data, err := os.ReadFile("../tests/vectors/typical-post.bin")
	if err != nil {
		t.Fatal(err)
	}
	link, err := readRequest(bytes.NewReader(data), defaultLimits)
	if err != nil {
		t.Fatal(err)
	}
	link.variables = append(link.variables, variable{"HTTP_PROXY", "http://evil/"}, variable{"HTTPS", "on"})
	r := newRequest(context.Background(), link, "127.0.0.1:1")
	theme := ""
	if c, err := r.Cookie("theme"); err == nil {
		theme = c.Value
	}
	got := fmt.Sprintf("%s|%s|%s|%s|%d|%s|%s|%v|%q|%q", r.Host, r.RemoteAddr, r.Header.Get("Accept-Language"),
		r.Header.Get("Content-Type"), r.ContentLength, r.FormValue("quantity")+r.FormValue("go")+r.FormValue("item"),
		theme, r.TLS != nil, Variables(r)["HTTP_PROXY"], r.Header.Get("Proxy"))
	if want := `www.example.com|192.0.2.7:51234|de-CH, fr;q=0.5|application/x-www-form-urlencoded|16|3ok42|` +
		`dark|true|""|""`; got != want {
		t.Errorf("request:\n%s, want\n%s", got, want)
	}
}
