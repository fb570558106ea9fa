#!/bin/bash
# Runs kevo-modify and kevo-edit under valgrind's memcheck over a good
# recording and the ways a run can go wrong, and fails on any memory error or
# leak, or on an exit status other than the one each run should end with.
#
# Usage: memcheck.sh <valgrind> <kevo-modify> <kevo-sample> <kevo-edit>
set -euo pipefail

valgrind=$1
modify=$2
sample=$3
edit=$4
suppressions=$(dirname "$0")/memcheck.supp

# Distinct from the tool's own statuses (1, 255, 253).
readonly memcheck_failed=99
readonly edited=1
readonly refused=255

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

failures=0

# check <name> <expected status> <program> [argument ...]
check() {
    local name=$1 expected=$2
    shift 2
    local log="$scratch/$name.log"
    local status=0
    "$valgrind" --tool=memcheck --leak-check=full --show-leak-kinds=all \
        --errors-for-leak-kinds=all --error-exitcode=$memcheck_failed \
        --suppressions="$suppressions" \
        --log-file="$log" \
        "$@" >/dev/null 2>&1 || status=$?
    echo "== $name: exit status $status (expected $expected)"
    grep -E "ERROR SUMMARY|in use at exit|All heap blocks|definitely lost|indirectly lost|possibly lost|still reachable" \
        "$log" | sed 's/^==[0-9]*== */   /' || true
    if [ "$status" -ne "$expected" ] || ! grep -q "ERROR SUMMARY: 0 errors" "$log"; then
        echo "   FAILED"
        cat "$log"
        failures=$((failures + 1))
    fi
}

# run <name> <expected status> <path> [stream meta value]: kevo-modify
run() {
    check "$1" "$2" "$modify" -streamID "${4:-0}" -metaID "${5:-0}" -metaValue "${6:-7}" "$3"
}

recording="$scratch/sample.kevo"
"$sample" "$recording" 2>/dev/null

# Stream 0 of the sample is its PAV2 board; atom 0 is an 'i' atom, atom 3 of
# stream 4 (the camera) is a 'c' atom.
run "edit of the sample recording" $edited "$recording" 0 0 250
run "edit of a 'c' atom, refused" $refused "$recording" 4 3 1
run "edit of a missing stream, refused" $refused "$recording" 99 0 1

wrong_magic="$scratch/wrong-magic.kevo"
{ printf 'XEVO'; tail -c +5 "$recording"; } > "$wrong_magic"
run "file with a wrong magic" $refused "$wrong_magic"

truncated="$scratch/truncated.kevo"
head -c 300 "$recording" > "$truncated"
run "header cut short" $refused "$truncated"

# Magic, version 2 and a zero header value; then two billion file-level
# atoms, or one atom that claims a payload of two gigabytes.
start='KEVO\x02\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00'
hostile_count="$scratch/hostile-count.kevo"
printf "$start"'\x00\x94\x35\x77abcdi\x04\x00\x00\x00' > "$hostile_count"
run "header with two billion atoms" $refused "$hostile_count"

hostile_length="$scratch/hostile-length.kevo"
printf "$start"'\x01\x00\x00\x00abcdi\xff\xff\xff\x7f' > "$hostile_length"
run "atom with a two gigabyte payload" $refused "$hostile_length"

run "missing file" $refused "$scratch/absent.kevo"

# kevo-edit over the same files in one run, and a multi-value edit.
check "kevo-edit of every file" 1 "$edit" --if pav2/intr=250 --set pav2/mic=900 \
    --set rok/gyro=50 "$recording" "$wrong_magic" "$truncated" "$hostile_count" \
    "$hostile_length" "$scratch/absent.kevo"
check "kevo-edit --json --dry-run" 0 "$edit" --json --dry-run --set cams/fps=25 \
    --set '#0/#1=5' "$recording"

if [ "$failures" -ne 0 ]; then
    echo "$failures run(s) failed"
    exit 1
fi
