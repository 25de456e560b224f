#!/usr/bin/env bash
# run_fuzzers.sh BUILD_DIR SECONDS -- runs every fuzz target for SECONDS on a scratch copy of its
# committed seed corpus, as many at once as there are cores (each fuzzer uses one). A crash stops
# that target's run and leaves its input in BUILD_DIR/fuzz-artifacts; fix the fault and add the
# input to tests/fuzz/corpus/TARGET.
set -uo pipefail
build=$1
seconds=$2
here=$(cd "$(dirname "$0")" && pwd)
artifacts=$build/fuzz-artifacts
mkdir -p "$artifacts"
targets=(config content_length request_roundtrip link_decoder)

# fuzz TARGET: one target's run; its log in BUILD_DIR/fuzz-TARGET.log, its verdict line in
# BUILD_DIR/fuzz-TARGET.result.
fuzz() {
    local target=$1 corpus=$here/corpus/${1%_roundtrip} scratch log=$build/fuzz-$1.log
    scratch=$(mktemp -d)
    # -close_fd_mask=2: the configuration reader's warnings would drown the fuzzer's report.
    if "$build/fuzz_$target" -max_total_time="$seconds" -close_fd_mask=2 -timeout=10 \
        -rss_limit_mb=2048 -artifact_prefix="$artifacts/$target-" "$scratch" "$corpus" \
        >"$log" 2>&1; then
        echo "ok - fuzz_$target: $(grep -o 'Done [0-9]* runs' "$log" | tail -1)"
    else
        echo "not ok - fuzz_$target"
        tail -40 "$log"
    fi >"$build/fuzz-$target.result"
    rm -rf "$scratch"
}

running=0
for target in "${targets[@]}"; do
    if [ "$running" -ge "$(nproc)" ]; then
        wait -n
        running=$((running - 1))
    fi
    fuzz "$target" &
    running=$((running + 1))
done
wait
passed=0
failed=0
for target in "${targets[@]}"; do
    cat "$build/fuzz-$target.result"
    read -r verdict _ <"$build/fuzz-$target.result"
    if [ "$verdict" = ok ]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
    fi
done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
