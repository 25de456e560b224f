# check.sh -- sourced by the shell tests: runs and counts checks, and prints the closing line
# "N passed, N failed" that ctest's log shows. Set check_prefix to name the suite in each line.
passed=0
failed=0
check_prefix=${check_prefix:-}

# check NAME COMMAND...: runs COMMAND and reports whether it succeeded.
check() {
    local name=$1
    shift
    if "$@"; then
        passed=$((passed + 1))
        echo "ok - $check_prefix$name"
    else
        failed=$((failed + 1))
        echo "not ok - $check_prefix$name"
    fi
}

# finish_checks: the closing line; fails when any check failed.
finish_checks() {
    echo "$passed passed, $failed failed"
    [ "$failed" -eq 0 ]
}
