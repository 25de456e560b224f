#!/usr/bin/env bash
# web_gateway.sh BUILD_DIR ROOT APP_PORT [KIND] -- the shared web harness for the language test
# suites: the gateway of BUILD_DIR in ROOT/cgi-bin sending every path to 127.0.0.1:APP_PORT,
# behind web server KIND (lighttpd by default) on a free port. Prints "listening on
# 127.0.0.1:PORT" once the web server answers; SIGTERM stops it.
set -uo pipefail
source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
export DOSTREL_BUILD=$1 DOSTREL_EXAMPLES=$source_dir/examples/webservers PATH=$PATH:/usr/sbin
. "$source_dir/scripts/webservers.sh"
trap 'stop_started; exit 0' TERM INT
install_gateway "$2/cgi-bin" "link * tcp 127.0.0.1 $3
" && start_webserver_anywhere "${4:-lighttpd}" "$2" || exit 1
echo "listening on 127.0.0.1:$webserver_port"
serve_until_stopped
