#!/usr/bin/env bash
# docs_snippets_test.sh SOURCE_DIR -- every web-server configuration that the tests run stands
# verbatim in docs/deploying.md, so the documentation cannot drift from what is tested.
set -uo pipefail
source_dir=$1
doc=$(cat "$source_dir/docs/deploying.md")
passed=0
failed=0
for template in "$source_dir"/examples/webservers/*.conf; do
    if [[ "$doc" == *"$(cat "$template")"* ]]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "docs/deploying.md lacks the text of examples/webservers/$(basename "$template")"
    fi
done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]
