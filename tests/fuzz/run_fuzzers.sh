#!/usr/bin/env bash
# run_fuzzers.sh BUILD_DIR SECONDS -- runs every fuzz target for SECONDS on a scratch copy of its
# committed seed corpus. A crash stops the run and leaves its input in BUILD_DIR/fuzz-artifacts;
# fix the fault and add the input to tests/fuzz/corpus/TARGET.
set -uo pipefail
build=$1
seconds=$2
here=$(cd "$(dirname "$0")" && pwd)
artifacts=$build/fuzz-artifacts
mkdir -p "$artifacts"
passed=0
failed=0
for target in config content_length request_roundtrip link_decoder; do
    corpus=$here/corpus/${target%_roundtrip}
    scratch=$(mktemp -d)
    # -close_fd_mask=2: the configuration reader's warnings would drown the fuzzer's report.
    if "$build/fuzz_$target" -max_total_time="$seconds" -close_fd_mask=2 -timeout=10 \
        -rss_limit_mb=2048 -artifact_prefix="$artifacts/$target-" "$scratch" "$corpus" \
        >"$build/fuzz-$target.log" 2>&1; then
        passed=$((passed + 1))
        echo "ok - fuzz_$target: $(grep -o 'Done [0-9]* runs' "$build/fuzz-$target.log" | tail -1)"
    else
        failed=$((failed + 1))
        echo "not ok - fuzz_$target"
        tail -40 "$build/fuzz-$target.log"
    fi
    rm -rf "$scratch"
done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
