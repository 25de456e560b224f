// decode.go -- reads one link request from a connection, enforcing the limits as each length
// arrives.

package dostrel

import (
	"bytes"
	"encoding/binary"
	"errors"
	"fmt"
	"io"
	"net"
	"os"
)

const (
	cookie     = 0x09231963
	contentKey = "XBRENNOX_CONTENT_DATA"

	// The protocol's default limits.
	DefaultMaxKeys          = 10000
	DefaultMaxVariableBytes = 1 << 20
	DefaultMaxBodyBytes     = 1 << 30
	// Bodies longer than this are kept in a temporary file rather than in memory.
	DefaultBodyMemoryBytes = 1 << 20
)

// limits are a Server's settings with the defaults filled in.
type limits struct {
	keys          int64
	variableBytes int64
	bodyBytes     int64
	bodyMemory    int64
}

var defaultLimits = limits{DefaultMaxKeys, DefaultMaxVariableBytes, DefaultMaxBodyBytes,
	DefaultBodyMemoryBytes}

// refusal is a request the server does not take: reason is the protocol's word for it.
type refusal struct {
	reason string
	detail string
}

func (r *refusal) Error() string { return r.reason + " (" + r.detail + ")" }

func refuse(reason, format string, args ...any) *refusal {
	return &refusal{reason, fmt.Sprintf(format, args...)}
}

// variable is one CGI variable, its bytes as the gateway sent them.
type variable struct {
	name, value string
}

// linkRequest is a complete request.
type linkRequest struct {
	major, minor uint32
	variables    []variable
	bodyLength   int64
	body         body
}

// body is the request body: in memory, or in an unlinked temporary file.
type body interface {
	io.Reader
	io.Closer
}

type memoryBody struct{ *bytes.Reader }

var emptyReader = bytes.NewReader(nil)

func (memoryBody) Close() error { return nil }

// fileBody deletes nothing on Close: the file was unlinked when it was made.
type fileBody struct{ *os.File }

// readRequest reads one request from r and nothing past its end. A read error or a limit
// gives a *refusal.
func readRequest(r io.Reader, lim limits) (*linkRequest, error) {
	d := decoder{r: r, lim: lim}
	req, err := d.read()
	if err != nil {
		var refused *refusal
		if !errors.As(err, &refused) {
			err = readFailure(err)
		}
		return nil, err
	}
	return req, nil
}

// readFailure names the refusal for a connection that failed mid-request.
func readFailure(err error) *refusal {
	var netErr net.Error
	if errors.As(err, &netErr) && netErr.Timeout() {
		return refuse("timeout", "request incomplete at the read time limit")
	}
	if err == io.EOF || err == io.ErrUnexpectedEOF {
		return refuse("truncated", "connection ended before the request was complete")
	}
	return refuse("truncated", "connection failed: %v", err)
}

type decoder struct {
	r       io.Reader
	lim     limits
	scratch [4]byte
	total   int64  // bytes of variable names and values so far
	arena   []byte // the names and values, one after the other
}

func (d *decoder) number() (uint32, error) {
	if _, err := io.ReadFull(d.r, d.scratch[:]); err != nil {
		return 0, err
	}
	return binary.BigEndian.Uint32(d.scratch[:]), nil
}

// text reads a name or value of a variable into the arena, after checking its length
// against what is left, and gives its place there.
func (d *decoder) text() (int, int, error) {
	n, err := d.number()
	if err != nil {
		return 0, 0, err
	}
	if d.total+int64(n) > d.lim.variableBytes {
		return 0, 0, refuse("variables-too-large", "%d bytes of variables, limit %d",
			d.total+int64(n), d.lim.variableBytes)
	}
	d.total += int64(n)
	start := len(d.arena)
	// Grown a piece at a time with the bytes that arrive, never on the word of the length.
	for left := int(n); left > 0; {
		piece := left
		if piece > 16<<10 {
			piece = 16 << 10
		}
		at := len(d.arena)
		d.arena = append(d.arena, make([]byte, piece)...)
		if _, err := io.ReadFull(d.r, d.arena[at:]); err != nil {
			return 0, 0, err
		}
		left -= piece
	}
	return start, len(d.arena), nil
}

func (d *decoder) read() (*linkRequest, error) {
	c, err := d.number()
	if err != nil {
		return nil, err
	}
	if c != cookie {
		return nil, refuse("bad-cookie", "cookie %08x", c)
	}
	req := &linkRequest{}
	if req.major, err = d.number(); err != nil {
		return nil, err
	}
	if req.major != 1 {
		return nil, refuse("unsupported-version", "major version %d", req.major)
	}
	if req.minor, err = d.number(); err != nil {
		return nil, err
	}
	count, err := d.number()
	if err != nil {
		return nil, err
	}
	if count == 0 {
		return nil, refuse("missing-content-key", "key count 0")
	}
	if int64(count) > d.lim.keys {
		return nil, refuse("too-many-keys", "%d keys, limit %d", count, d.lim.keys)
	}
	// Where each name and value lies in the arena; one string is made of it at the end.
	var places []int
	if count > 1 {
		places = make([]int, 0, 4*min64(int64(count)-1, 64))
		d.arena = make([]byte, 0, 1024)
	}
	for i := uint32(1); i < count; i++ {
		for j := 0; j < 2; j++ {
			start, end, err := d.text()
			if err != nil {
				return nil, err
			}
			places = append(places, start, end)
		}
	}
	if len(places) > 0 {
		all := string(d.arena)
		d.arena = nil
		req.variables = make([]variable, len(places)/4)
		for i := range req.variables {
			p := places[4*i:]
			req.variables[i] = variable{all[p[0]:p[1]], all[p[2]:p[3]]}
		}
	}
	n, err := d.number()
	if err != nil {
		return nil, err
	}
	if n != uint32(len(contentKey)) {
		return nil, refuse("missing-content-key", "last key's name is %d bytes long", n)
	}
	var name [len(contentKey)]byte
	if _, err := io.ReadFull(d.r, name[:]); err != nil {
		return nil, err
	}
	if string(name[:]) != contentKey {
		return nil, refuse("missing-content-key", "last key is not the content")
	}
	length, err := d.number()
	if err != nil {
		return nil, err
	}
	if int64(length) > d.lim.bodyBytes {
		return nil, refuse("body-too-large", "body of %d bytes, limit %d", length,
			d.lim.bodyBytes)
	}
	req.bodyLength = int64(length)
	if req.body, err = d.body(req.bodyLength); err != nil {
		return nil, err
	}
	return req, nil
}

func (d *decoder) body(n int64) (body, error) {
	if n == 0 {
		return memoryBody{emptyReader}, nil
	}
	if n <= d.lim.bodyMemory {
		var b bytes.Buffer
		b.Grow(int(min64(n, 64<<10)))
		if _, err := io.CopyN(&b, d.r, n); err != nil {
			return nil, err
		}
		return memoryBody{bytes.NewReader(b.Bytes())}, nil
	}
	f, err := os.CreateTemp("", "dostrel-body-")
	if err != nil {
		return nil, refuse("body-too-large", "no temporary file for a body of %d bytes: %v", n, err)
	}
	// Unlinked at once: the file goes away with its descriptor, whatever happens next.
	os.Remove(f.Name())
	if _, err := io.CopyN(f, d.r, n); err != nil {
		f.Close()
		var pathErr *os.PathError
		if errors.As(err, &pathErr) {
			return nil, refuse("body-too-large", "temporary file for the body: %v", err)
		}
		return nil, err
	}
	if _, err := f.Seek(0, io.SeekStart); err != nil {
		f.Close()
		return nil, refuse("body-too-large", "temporary file for the body: %v", err)
	}
	return fileBody{f}, nil
}

func min64(a, b int64) int64 {
	if a < b {
		return a
	}
	return b
}
