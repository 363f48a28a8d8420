#!/usr/bin/env bash
# The tool's full run (45 frames) against the emulated camera, under valgrind memcheck: any memory
# error or definitely lost block fails, and so does a run that did not save the 45 frames.
# Usage: valgrind_run.sh EMULATOR TOOL OUTPUT_ROOT SUPPRESSIONS WORK_DIR
set -euo pipefail
emulator=$1 tool=$2 output_root=$3 suppressions=$4 work=$5
log=$work/valgrind.memcheck.log
rm -rf "$output_root" "$log"

status=0
"$emulator" --log "$work/valgrind.transcript.log" -- \
    valgrind --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite \
    --suppressions="$suppressions" --log-file="$log" "$tool" \
    >"$work/valgrind.out" 2>"$work/valgrind.err" || status=$?

fail() {
    echo "FAILED: $*" >&2
    cat "$work/valgrind.err" "$log" >&2 2>/dev/null || true
    exit 1
}
grep -q "Memcheck" "$log" 2>/dev/null || fail "valgrind did not run the tool"
# What memcheck found, for the test's output.
grep -E "HEAP SUMMARY|in use at exit|total heap usage|definitely lost|indirectly lost|possibly lost|still reachable|All heap blocks|ERROR SUMMARY" "$log" |
    sed 's/^==[0-9]*== *//'
[ "$status" -eq 0 ] || fail "exit status $status (99: memcheck found errors or a definite leak)"
[ "$(grep -c '^saved f' "$work/valgrind.out")" -eq 45 ] || fail "not 45 frames saved"
files=$(find "$output_root/series" -name 'f??.bin' -size 38456c | wc -l)
[ "$files" -eq 45 ] || fail "$files complete frame files, not 45"
