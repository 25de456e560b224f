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
