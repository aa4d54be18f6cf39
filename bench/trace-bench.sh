#!/bin/bash
# What --trace costs: tftpput -w 16 on loopback with and without a trace, side by side in one
# run, inside a private loopback-only namespace; client and simulated server pinned to CPU 0.
# The two cases take turns, so that load from elsewhere falls on both alike; the 1-minute load
# average is written beside the figures. Figures: the transfer's seconds (tftpput's own
# count), tftpput's CPU time (user and system), each as the median over the runs and as the
# median of the runs' pairwise ratios; and the trace's size per MiB of image.
# usage: bench/trace-bench.sh BUILD_DIR [--runs N] [--mib N] [--blksize N] [--doc FILE]
set -u
. "$(dirname "$0")/bench-lib.sh" "$@"
runs=9 mib=16 blksize=1024 doc=""
bench_args 8 runs mib blksize doc -- "$@"
bench_need "$tftpput" "$simtftpd" "$rusage"

bench_workdir trace-bench
mkdir "$work/srv"
head -c $((mib * 1024 * 1024)) /dev/urandom >"$work/img"
taskset -c 0 "$simtftpd" -q -a 127.0.0.1 -p 0 --port-file "$work/port" -d "$work/srv" -o "$work/srv/slot" &
bench_pids+=($!)
for _ in $(seq 200); do [ -s "$work/port" ] && break; sleep 0.05; done
port=$(cat "$work/port")

# upload [TRACE]: "SECONDS CPU_MS": the transfer's seconds as tftpput's JSON gives them and
# its user and system time, or FAIL.
upload() {
  local args=()
  [ $# -gt 0 ] && { rm -f "$1"; args=(--trace "$1"); }
  taskset -c 0 "$rusage" -o "$work/ru" "$tftpput" -q --json -w 16 -b "$blksize" -p "$port" "${args[@]}" \
    127.0.0.1 "$work/img" img 2>/dev/null >"$work/j"
  python3 -c 'import json,sys; r=json.load(open(sys.argv[1])); u=open(sys.argv[2]).read().split()
print("%s %.3f" % (r["seconds"], (int(u[1]) + int(u[2])) / 1000) if r["result"] == "done" else "FAIL")' "$work/j" "$work/ru"
}

upload >/dev/null # warm the caches
: >"$work/runs"
# Each pair in turn starts with the other case, so that neither always runs first.
for i in $(seq "$runs"); do
  if [ $((i % 2)) = 1 ]; then
    echo "$(upload) $(upload "$work/t.pcapng")" >>"$work/runs"
  else
    traced=$(upload "$work/t.pcapng")
    echo "$(upload) $traced" >>"$work/runs"
  fi
done
grep -q FAIL "$work/runs" && { echo "an upload failed" >&2; exit 1; }
plain=$(awk '{ print $1 }' "$work/runs" | median) traced=$(awk '{ print $3 }' "$work/runs" | median)
plainCpu=$(awk '{ print $2 }' "$work/runs" | median) tracedCpu=$(awk '{ print $4 }' "$work/runs" | median)
pairs=$(awk '{ print $3 / $1 }' "$work/runs" | median) cpuPairs=$(awk '{ print $4 / $2 }' "$work/runs" | median)
size=$(stat -c %s "$work/t.pcapng")
frames=$(command -v tshark >/dev/null && tshark -n -r "$work/t.pcapng" 2>/dev/null | wc -l || echo "-")
table=$(awk -v p="$plain" -v t="$traced" -v s="$size" -v m="$mib" -v b="$blksize" -v n="$runs" -v f="$frames" \
  -v pc="$plainCpu" -v tc="$tracedCpu" -v pr="$pairs" -v cr="$cpuPairs" -v l="$(cut -d' ' -f1 /proc/loadavg)" 'BEGIN {
  printf "| %d MiB, blksize %d, window 16, %d runs | without --trace | with --trace | ratio of medians | median of paired ratios |\n", m, b, n
  printf "|---|---|---|---|---|\n"
  printf "| transfer seconds (median) | %.3f | %.3f | %.3f | %.3f |\n", p, t, t / p, pr
  printf "| MiB/s | %.1f | %.1f | | |\n", m / p, m / t
  printf "| tftpput CPU ms, user + system (median) | %.1f | %.1f | %.3f | %.3f |\n", pc, tc, tc / pc, cr
  printf "| trace size | | %.2f MiB (%.3f MiB per MiB sent, %s frames) | | |\n", s / 1048576, s / 1048576 / m, f
  printf "\nLoad average (1 min) at the end: %s.\n", l }')
echo "$table"
if [ -n "$doc" ]; then
  python3 - "$doc" "$table" <<'PY'
import sys, re
path, table = sys.argv[1], sys.argv[2]
text = open(path).read()
begin, end = "<!-- trace-bench begin -->", "<!-- trace-bench end -->"
text = re.sub(re.escape(begin) + ".*?" + re.escape(end), begin + "\n" + table + "\n" + end, text, flags=re.S)
open(path, "w").write(text)
PY
fi
