#!/usr/bin/env bash
# run_tests.sh BUILD_DIR -- builds the dostrel gem, installs it offline into a temporary gem
# folder and runs its tests against the installed gem: the shared vectors, Sinatra and Rails
# applications through the gateway in BUILD_DIR under lighttpd, signals and refusals.
set -euo pipefail
if [ $# -ne 1 ]; then
    echo "usage: run_tests.sh BUILD_DIR" >&2
    exit 2
fi
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(dirname "$here")
. "$source_dir/scripts/packages.sh"
need_packages ruby ruby-rack ruby-sinatra ruby-rack-protection ruby-railties ruby-actionpack \
    ruby-activerecord ruby-sqlite3 lighttpd
test_gateway_build "$1"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Built from a copy, so that the source tree gets no .gem file.
mkdir "$work/src"
cp -r "$here/dostrel.gemspec" "$here/README.md" "$here/lib" "$here/bin" "$work/src/"
(cd "$work/src" && gem build dostrel.gemspec >"$work/gem-build.log" 2>&1) ||
    { cat "$work/gem-build.log" >&2; exit 1; }
export GEM_HOME=$work/gems
(cd "$work/src" && gem install --local --no-document dostrel-*.gem >/dev/null)
"$GEM_HOME/bin/dostrel-rack" --help >/dev/null

# From the temporary folder, without the source's lib/: the gem under test is the installed one.
cd "$work"
DOSTREL_BUILD=$build DOSTREL_RACK=$GEM_HOME/bin/dostrel-rack PATH=$PATH:/usr/sbin \
    ruby -I"$here/test" -e 'gem "dostrel"; ARGV.each { |t| require t }' "$here"/test/*_test.rb
