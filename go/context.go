// context.go -- the request's context, ended when the link connection ends; the connection
// is watched only once someone asks.

package dostrel

import (
	"context"
	"sync"
	"time"
)

// linkContext is the request's context. The gateway sends nothing after the request, so a
// read on the connection ends only when the gateway went away (its client left, or it was
// killed); a goroutine blocked in that read cancels the context then. Most handlers never
// look at Done or Err, so the goroutine is started by the first call to either.
type linkContext struct {
	context.Context // a cancel context under the server's base context
	cancel          context.CancelFunc
	c               *conn

	mu       sync.Mutex
	started  bool
	finished bool          // the request is over: no watcher from now on
	watching chan struct{} // closed when the watcher has returned
}

func newLinkContext(base context.Context, c *conn) *linkContext {
	ctx, cancel := context.WithCancel(base)
	return &linkContext{Context: ctx, cancel: cancel, c: c}
}

func (x *linkContext) Done() <-chan struct{} {
	x.watch()
	return x.Context.Done()
}

func (x *linkContext) Err() error {
	x.watch()
	return x.Context.Err()
}

func (x *linkContext) watch() {
	x.mu.Lock()
	defer x.mu.Unlock()
	if x.started || x.finished {
		return
	}
	x.started = true
	x.watching = make(chan struct{})
	go func() {
		defer close(x.watching)
		var scratch [512]byte
		for {
			if _, err := x.c.rwc.Read(scratch[:]); err != nil {
				x.cancel()
				return
			}
		}
	}()
}

// finish ends the context once the handler has returned, and stops the watcher, if any.
func (x *linkContext) finish() {
	x.mu.Lock()
	x.finished = true
	started := x.started
	x.mu.Unlock()
	if started {
		// A deadline in the past ends the watcher's read.
		x.c.rwc.SetReadDeadline(time.Unix(1, 0))
		<-x.watching
	}
	x.cancel()
}
