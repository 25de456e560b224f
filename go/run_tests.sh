#!/usr/bin/env bash
# run_tests.sh BUILD_DIR -- vets and tests the Go package offline with Debian's Go, through the
# gateway in BUILD_DIR under lighttpd: the package (with the race detector), then chi, gorilla/mux
# and gin applications built in GOPATH mode from /usr/share/gocode, and the example in examples/go.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../scripts/packages.sh"
test_gateway_build "$@"
# gcc and libc6-dev: the race detector needs cgo.
need_packages golang-go gcc libc6-dev lighttpd golang-github-go-chi-chi-dev \
    golang-github-gorilla-mux-dev golang-github-gin-gonic-gin-dev

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Offline: no module proxy, no checksum database. Go's own build cache (~/.cache/go-build),
# or one in the temporary folder where there is no home.
export GOPROXY=off GOSUMDB=off GOTOOLCHAIN=local GOFLAGS=
export GOPATH=$work/gopath
[ -n "${GOCACHE:-}${XDG_CACHE_HOME:-}${HOME:-}" ] || export GOCACHE=$work/cache
export DOSTREL_BUILD=$build DOSTREL_SOURCE=$dostrel_source PATH=$PATH:/usr/sbin

cd "$here"
unformatted=$(gofmt -l .)
if [ -n "$unformatted" ]; then
    echo "not gofmt-formatted: $unformatted" >&2
    exit 1
fi
go vet ./...
go test -race -count=1 ./...

# The routers: GOPATH mode over Debian's sources. chi's import path ends in /v5, which GOPATH
# mode finds only under that name: a link gives it one.
mkdir -p "$GOPATH/src/dostrel.dev" "$GOPATH/src/github.com/go-chi/chi"
ln -s "$here" "$GOPATH/src/dostrel.dev/dostrel"
ln -s /usr/share/gocode/src/github.com/go-chi/chi "$GOPATH/src/github.com/go-chi/chi/v5"
(
    cd "$GOPATH/src/dostrel.dev/dostrel/routertest"
    export GO111MODULE=off GOPATH=$GOPATH:/usr/share/gocode
    go vet -tags routers .
    go test -tags routers -count=1 -v . | grep -v '^=== RUN'
)

# The example, built in module mode, signs its guest book once through lighttpd and the gateway.
cd "$dostrel_source"
DOSTREL_DEMO_ONCE=1 bash examples/go/serve.sh >"$work/example.out"
if ! grep -q '<li>hello from curl</li>' "$work/example.out"; then
    echo "examples/go/serve.sh did not sign the guest book:" >&2
    cat "$work/example.out" >&2
    exit 1
fi
echo "examples/go/serve.sh: signed the guest book"
