#!/usr/bin/env bash
# run_tests.sh BUILD_DIR -- builds the dostrel gem, installs it offline into a temporary gem
# folder and runs its tests against the installed gem: the shared vectors, Sinatra and Rails
# applications through the gateway in BUILD_DIR under lighttpd, signals and refusals.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../scripts/packages.sh"
test_gateway_build "$@"
need_packages $(ruby_test_packages "$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")")

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
install_rack_server "$work"
export GEM_HOME=$work/gems
"$GEM_HOME/bin/dostrel-rack" --help >/dev/null

# From the temporary folder, without the source's lib/: the gem under test is the installed one.
cd "$work"
DOSTREL_BUILD=$build DOSTREL_RACK=$GEM_HOME/bin/dostrel-rack PATH=$PATH:/usr/sbin \
    ruby -I"$here/test" -e 'gem "dostrel"; ARGV.each { |t| require t }' "$here"/test/*_test.rb
