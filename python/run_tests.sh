#!/usr/bin/env bash
# run_tests.sh BUILD_DIR -- installs dostrel-wsgi offline into a fresh virtual environment and
# runs its tests: the shared vectors, the response writer, the server's signals and refusals,
# and Flask and Django applications through the gateway in BUILD_DIR under lighttpd.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../scripts/packages.sh"
test_gateway_build "$@"
need_packages python3 python3-venv python3-pip-whl python3-setuptools-whl python3-setuptools \
    python3-wheel python3-pytest python3-flask python3-django lighttpd curl

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
install_wsgi_server "$work"
"$work/venv/bin/dostrel-wsgi" --help >/dev/null

# From the temporary folder: the package under test is the installed one, not the source.
cd "$work"
status=0
DOSTREL_BUILD=$build PATH=$PATH:/usr/sbin PYTHONDONTWRITEBYTECODE=1 \
    "$work/venv/bin/python" -m pytest -p no:cacheprovider -q "$here/tests" || status=$?
if [ $status -eq 5 ]; then
    echo "run_tests.sh: pytest collected no test" >&2
    exit 1
fi
exit $status
