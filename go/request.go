// request.go -- turns a link request's CGI variables into a real *http.Request.

package dostrel

import (
	"context"
	"crypto/tls"
	"net"
	"net/http"
	"net/url"
	"strconv"
	"strings"
)

type contextKey struct{ name string }

// variablesKey holds the request's CGI variables in its context.
var variablesKey = &contextKey{"cgi-variables"}

// Variables returns the CGI variables the web server set for r (SCRIPT_NAME, PATH_INFO,
// REMOTE_USER, SERVER_NAME and the rest), in a map of its own: the first value of a name the
// environment repeats, and never HTTP_PROXY. It returns nil for a request that did not come
// through this package.
func Variables(r *http.Request) map[string]string {
	table, _ := r.Context().Value(variablesKey).(map[string]string)
	if table == nil {
		return nil
	}
	copied := make(map[string]string, len(table))
	for name, value := range table {
		copied[name] = value
	}
	return copied
}

// variableTable is the variables by name: the first of repeated names, as getenv finds it.
// HTTP_PROXY is left out: a client's "Proxy:" header must never pass for proxy settings.
func variableTable(variables []variable) map[string]string {
	table := make(map[string]string, len(variables))
	for _, v := range variables {
		if _, seen := table[v.name]; seen || v.name == "HTTP_PROXY" {
			continue
		}
		table[v.name] = v.value
	}
	return table
}

// Headers the web server's HTTP_ variables never become: the body's length and type come from
// the content key and CONTENT_TYPE, the host is Request.Host, and Proxy is httpoxy.
var skippedHeaders = map[string]bool{
	"HTTP_PROXY": true, "HTTP_CONTENT_LENGTH": true, "HTTP_CONTENT_TYPE": true, "HTTP_HOST": true,
}

// newRequest builds the request the handler sees. ctx carries the link connection's life.
func newRequest(ctx context.Context, link *linkRequest, peer string) *http.Request {
	cgi := variableTable(link.variables)
	r := &http.Request{
		Method:     cgi["REQUEST_METHOD"],
		Header:     make(http.Header, len(cgi)),
		Host:       cgi["HTTP_HOST"],
		RemoteAddr: cgi["REMOTE_ADDR"],
	}
	if r.Method == "" {
		r.Method = http.MethodGet
	}
	r.Proto = cgi["SERVER_PROTOCOL"]
	var ok bool
	if r.ProtoMajor, r.ProtoMinor, ok = http.ParseHTTPVersion(r.Proto); !ok {
		r.Proto, r.ProtoMajor, r.ProtoMinor = "HTTP/1.0", 1, 0
	}

	path := cgi["PATH_INFO"]
	if !strings.HasPrefix(path, "/") {
		path = "/" + path
	}
	r.URL = &url.URL{Path: path, RawQuery: cgi["QUERY_STRING"]}
	if _, tail, ok := splitRequestURI(cgi["REQUEST_URI"], cgi["PATH_INFO"]); ok && tail != path {
		// EscapedPath keeps the client's encoding (a%2525b, not a%25b).
		r.URL.RawPath = tail
	}
	// What the client asked for, as it sent it; the URL is the application's own part of it.
	r.RequestURI = cgi["REQUEST_URI"]
	if r.RequestURI == "" {
		r.RequestURI = (&url.URL{Path: cgi["SCRIPT_NAME"] + path, RawQuery: r.URL.RawQuery}).RequestURI()
	}
	if r.Host == "" {
		r.Host = cgi["SERVER_NAME"]
		if port := cgi["SERVER_PORT"]; r.Host != "" && port != "" && port != "80" && port != "443" {
			r.Host = net.JoinHostPort(r.Host, port)
		}
	}
	if port, _ := strconv.Atoi(cgi["REMOTE_PORT"]); port != 0 && r.RemoteAddr != "" {
		r.RemoteAddr = net.JoinHostPort(r.RemoteAddr, strconv.Itoa(port))
	} else if r.RemoteAddr == "" {
		r.RemoteAddr = peer
	}

	for name, value := range cgi {
		if strings.HasPrefix(name, "HTTP_") && len(name) > 5 && !skippedHeaders[name] {
			key := http.CanonicalHeaderKey(strings.ReplaceAll(name[5:], "_", "-"))
			r.Header[key] = append(r.Header[key], value)
		}
	}
	if t := cgi["CONTENT_TYPE"]; t != "" {
		r.Header.Set("Content-Type", t)
	}
	// The body is the content key's value, whatever CONTENT_LENGTH claimed.
	r.ContentLength = link.bodyLength
	if _, announced := cgi["CONTENT_LENGTH"]; announced || link.bodyLength > 0 {
		r.Header.Set("Content-Length", strconv.FormatInt(link.bodyLength, 10))
	}
	if link.bodyLength > 0 {
		r.Body = readOnly{link.body}
	} else {
		r.Body = http.NoBody
	}
	if https := strings.ToLower(cgi["HTTPS"]); https == "on" || https == "1" {
		r.TLS = &tls.ConnectionState{HandshakeComplete: true, ServerName: cgi["SERVER_NAME"]}
	}
	return r.WithContext(context.WithValue(ctx, variablesKey, cgi))
}

// readOnly is the body as the handler sees it: closing it is the server's business.
type readOnly struct{ body }

func (readOnly) Close() error { return nil }

// splitRequestURI cuts REQUEST_URI's path around what PATH_INFO names: the raw public prefix,
// and the raw tail, the shortest end of the path whose percent-decoding is PATH_INFO byte for
// byte. ok is false where REQUEST_URI is no path or does not end in PATH_INFO (a web server
// that normalised the path).
func splitRequestURI(requestURI, pathInfo string) (prefix, tail string, ok bool) {
	raw, _, _ := strings.Cut(requestURI, "?")
	if !strings.HasPrefix(raw, "/") {
		return "", "", false
	}
	starts := make([]int, 0, len(raw))
	decoded := make([]byte, 0, len(raw))
	for i := 0; i < len(raw); {
		starts = append(starts, i)
		if i+3 <= len(raw) && raw[i] == '%' {
			if b, err := strconv.ParseUint(raw[i+1:i+3], 16, 8); err == nil {
				decoded = append(decoded, byte(b))
				i += 3
				continue
			}
		}
		decoded = append(decoded, raw[i])
		i++
	}
	// Each decoded byte came from one piece of the raw path: the tail that decodes to PATH_INFO
	// starts at the piece as many from the end as PATH_INFO is long.
	first := len(decoded) - len(pathInfo)
	if first < 0 || string(decoded[first:]) != pathInfo {
		return "", "", false
	}
	cut := len(raw)
	if first < len(starts) {
		cut = starts[first]
	}
	return raw[:cut], raw[cut:], true
}

// publicPrefix is the public prefix of a request with the variables cgi, raw and decoded:
// SCRIPT_NAME where the web server gave no REQUEST_URI that ends in PATH_INFO.
func publicPrefix(cgi map[string]string) (raw, decoded string) {
	raw, _, ok := splitRequestURI(cgi["REQUEST_URI"], cgi["PATH_INFO"])
	if !ok {
		raw = (&url.URL{Path: strings.TrimSuffix(cgi["SCRIPT_NAME"], "/")}).EscapedPath()
	}
	decoded, err := url.PathUnescape(raw)
	if err != nil {
		decoded = raw
	}
	return raw, decoded
}

// Prefix returns the public prefix of r's URL, percent-decoded like r.URL.Path: the part of the
// path the client asked for (REQUEST_URI) before the part that r.URL names. It is empty where
// the web server hands the whole site to the gateway, and "/cgi-bin/dostrel" for an
// application under the gateway's own URL.
func Prefix(r *http.Request) string {
	cgi, _ := r.Context().Value(variablesKey).(map[string]string)
	_, decoded := publicPrefix(cgi)
	return decoded
}

// PublicPath hands h each request with the whole public path in its URL, Prefix(r) in front of
// r.URL.Path, for a handler that compares its paths with URLs the client sends back: under a
// sub-path, golang.org/x/net/webdav's Handler with its Prefix set to the public prefix.
func PublicPath(h http.Handler) http.Handler {
	return http.HandlerFunc(func(w http.ResponseWriter, r *http.Request) {
		cgi, _ := r.Context().Value(variablesKey).(map[string]string)
		raw, decoded := publicPrefix(cgi)
		if decoded == "" {
			h.ServeHTTP(w, r)
			return
		}
		public := r.Clone(r.Context())
		public.URL.Path = decoded + r.URL.Path
		public.URL.RawPath = raw + r.URL.EscapedPath()
		h.ServeHTTP(w, public)
	})
}
