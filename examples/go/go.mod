module dostrel.dev/examples/guestbook

go 1.19

require (
	dostrel.dev/dostrel v0.0.0
	github.com/go-chi/chi/v5 v5.0.7
)

// No module proxy: the package from this checkout, chi from Debian's
// golang-github-go-chi-chi-dev.
replace dostrel.dev/dostrel => ../../go

replace github.com/go-chi/chi/v5 => /usr/share/gocode/src/github.com/go-chi/chi
