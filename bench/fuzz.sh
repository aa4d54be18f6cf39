#!/bin/bash
# Runs the TFTP upload fuzzer (state machine under both policies and packet parsers, ASan+UBSan) for a number of
# executions and reports executions, coverage and findings.
# usage: bench/fuzz.sh [BUILD_DIR] [RUNS]   (default build-fuzz/, built by scripts/build.sh fuzz;
# 10000000 runs)
# Exit 0 when nothing was found, 1 on a finding (the crashing input is kept and named).
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
[ -n "${1:-}" ] || "$root/scripts/build.sh" fuzz >/dev/null || exit 2
build=$(cd "${1:-$root/build-fuzz}" && pwd)
runs=${2:-10000000}
fuzzer=$build/tests/tftp/tftp_upload_fuzzer
[ -x "$fuzzer" ] || { echo "missing $fuzzer (scripts/build.sh fuzz builds it)" >&2; exit 2; }
work=$(mktemp -d /tmp/ftpupg-fuzz.XXXXXX)
mkdir "$work/corpus"
start=$(date +%s)
"$fuzzer" -runs="$runs" -max_len=4096 -seed=1350 -print_final_stats=1 -artifact_prefix="$work/" \
  "$work/corpus" >"$work/log" 2>&1
rc=$?
seconds=$(( $(date +%s) - start ))
executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log")
coverage=$(grep -o 'cov: [0-9]*' "$work/log" | tail -1 | cut -d' ' -f2)
findings=$(find "$work" -maxdepth 1 -name 'crash-*' -o -maxdepth 1 -name 'leak-*' -o -maxdepth 1 -name 'timeout-*' | wc -l)
echo "tftp_upload_fuzzer: ${executions:-0} executions in ${seconds} s, coverage ${coverage:-?} edges, corpus $(ls "$work/corpus" | wc -l) inputs, findings $findings (exit $rc)"
if [ "$rc" != 0 ] || [ "$findings" != 0 ]; then
  tail -n 40 "$work/log" >&2
  echo "inputs kept in $work" >&2
  exit 1
fi
rm -rf "$work"
