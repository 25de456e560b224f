#!/usr/bin/env bash
# doc_commands_test.sh SOURCE_DIR [BUILD_DIR] -- every command block (a fence tagged sh, bash,
# shell or console) in README.md and docs/*.md is proven as the comment above it says: "<!-- doc:
# run -->" runs it (bash -euo pipefail in a scratch copy of the checkout, one per document, its
# blocks in order, DOSTREL_BUILD=BUILD_DIR), "tested-by PATH" finds every command line of it
# verbatim in PATH, "not-run REASON" gives a reason. Fails on a command block without one, on a
# comment above another kind of block, and on an untagged block that starts like a command. The
# web-server configurations the tests run (examples/webservers/*.conf, htaccess) must stand
# verbatim in docs/deploying.md.
set -uo pipefail
source_dir=$(cd "$1" && pwd)
build_dir=${2:+$(cd "$2" && pwd)}
check_prefix="docs: "
. "$source_dir/tests/support/check.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# split_blocks FILE DIR: writes each fenced block of FILE to DIR/N and prints one line per block:
# N, the line of its fence, its tag ("-" for none), the doc comment above it ("-" for none).
split_blocks() {
    mkdir -p "$2"
    awk -v dir="$2" '
        function trim(s) { sub(/^[ \t]+/, "", s); sub(/[ \t]+$/, "", s); return s }
        !inside && /^[ \t]*```/ {
            inside = 1
            n = ++count
            tag = trim(substr(trim($0), 4))
            note = trim(previous)
            if (note ~ /^<!-- doc: .* -->$/) note = substr(note, 11, length(note) - 14)
            else note = "-"
            printf "%d\t%d\t%s\t%s\n", n, NR, (tag == "" ? "-" : tag), note
            file = dir "/" n
            printf "" >file
            next
        }
        inside && /^[ \t]*```[ \t]*$/ { inside = 0; close(file); previous = $0; next }
        inside { print >file; next }
        { previous = $0 }' "$1"
}

# command_lines TAG FILE: the commands of a block, one per line, without indentation, comments
# (a "#" after a blank starts one) or blank lines; a console block's commands start with "$ ".
command_lines() {
    awk -v console="$([ "$1" = console ] && echo 1)" '{
        line = $0
        sub(/^[ \t]+/, "", line)
        if (console) { if (line !~ /^\$ /) next; line = substr(line, 3) }
        sub(/(^|[ \t]+)#.*$/, "", line)
        sub(/[ \t]+$/, "", line)
        if (line != "") print line
    }' "$2"
}

# scratch_copy DOCUMENT: a copy of the checkout for DOCUMENT's run blocks (tracked files only).
scratch_copy() {
    local copy=$work/run/${1//\//_}
    [ -d "$copy" ] || { mkdir -p "$copy" && cd "$source_dir" && if git rev-parse 2>/dev/null; then
        git ls-files -z | tar --null -T - --ignore-failed-read -cf - 2>/dev/null
    else tar --exclude='./build*' --exclude=node_modules -cf - .; fi | tar -C "$copy" -xf -; }
    echo "$copy"
}

# prove DOCUMENT LINE TAG NOTE BLOCK: checks one command block as its comment says.
prove() {
    local doc=$1 line=$2 tag=$3 note=$4 block=$5 where="$1:$2" path missing command copy began status
    case "$note" in
    -) check "$where: a command block says how it is proven (<!-- doc: ... --> above it)" false ;;
    run)
        copy=$(scratch_copy "$doc")
        began=$SECONDS
        if [ "$tag" = console ]; then command_lines console "$block" >"$block.sh"; else cp "$block" "$block.sh"; fi
        (cd "$copy" && DOSTREL_BUILD=$build_dir timeout 600 bash -euo pipefail "$block.sh") \
            </dev/null >"$block.log" 2>&1
        status=$?
        check "$where: runs ($((SECONDS - began)) s, exit status $status)" test $status -eq 0
        [ $status -eq 0 ] || tail -30 "$block.log"
        ;;
    "tested-by "*)
        path=$source_dir/${note#tested-by }
        missing=""
        while IFS= read -r command; do
            grep -qsF -- "$command" "$path" || missing+="    $command"$'\n'
        done < <(command_lines "$tag" "$block")
        check "$where: ${note#tested-by } exists and runs its commands${missing:+; it lacks:}" \
            test -f "$path" -a -z "$missing"
        printf '%s' "$missing"
        ;;
    "not-run "*) check "$where: not run: ${note#not-run }" test -n "${note#not-run }" ;;
    *) check "$where: unknown doc comment \"$note\" (run, tested-by PATH, not-run REASON)" false ;;
    esac
}

mkdir "$work/run"
commands=0
cd "$source_dir" || exit 1
for doc in README.md docs/*.md; do
    blocks=$work/blocks/$(echo "$doc" | tr / _)
    while IFS=$'\t' read -r n line tag note; do
        case "$tag" in
        sh | bash | shell | console)
            commands=$((commands + 1))
            prove "$doc" "$line" "$tag" "$note" "$blocks/$n"
            ;;
        -)
            if grep -m1 -v '^[[:space:]]*$' "$blocks/$n" | grep -qE \
                '^[[:space:]]*(\$ |sudo |bash |sh |apt(-get)? |cmake |make |npm |npx |node |python3? |pip3? |curl |cd |systemctl |git |cc |\./)'; then
                check "$doc:$line: an untagged block of commands (tag it sh and say how it is proven)" false
            fi
            ;;
        esac
        if [ "$note" != - ] && [[ ! "$tag" =~ ^(sh|bash|shell|console)$ ]]; then
            check "$doc:$line: a doc comment above a block tagged \"$tag\", not a command block" false
        fi
    done < <(split_blocks "$source_dir/$doc" "$blocks")
done
check "command blocks found ($commands)" test "$commands" -gt 0

# The web-server configurations the tests run, verbatim in docs/deploying.md.
contains() { [ -n "$2" ] && [[ "$1" == *"$2"* ]]; }
deploying=$(cat "$source_dir/docs/deploying.md")
for template in "$source_dir"/examples/webservers/{*.conf,htaccess}; do
    check "docs/deploying.md carries examples/webservers/$(basename "$template") unchanged" \
        contains "$deploying" "$(cat "$template")"
done
finish_checks
