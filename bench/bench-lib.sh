# Shared by the benchmark scripts: source it right after `set -u`, as
#   . "$(dirname "$0")/bench-lib.sh" "$@"
# It re-runs the calling script inside a private loopback-only namespace (nothing it sends
# can leave the machine) and sets `root` to the checkout.
root=$(cd "$(dirname "$0")/.." && pwd)
if [ -z "${FTPUPG_BENCH_IN_NS:-}" ]; then
  FTPUPG_BENCH_IN_NS=1 exec "$root/scripts/netns-run" env FTPUPG_BENCH_IN_NS=1 bash "$0" "$@"
fi

# Every process below PID, one per line.
bench_descendants() {
  local p
  for p in $(ps --ppid "$1" -o pid=); do
    echo "$p"
    bench_descendants "$p"
  done
}

# bench_sample_pss PID SECONDS: the largest sum of the proportional set sizes (PSS: a page
# shared by n processes counts 1/n in each) of PID and its descendants while PID lives,
# sampled every SECONDS (KiB). Only the run's own processes: others of the same name on the
# machine are not ours.
bench_sample_pss() {
  local peak=0 sum files
  while kill -0 "$1" 2>/dev/null; do
    files=$({ echo "$1"; bench_descendants "$1"; } | sed 's|^ *\(.*\)|/proc/\1/smaps_rollup|')
    # shellcheck disable=SC2086
    sum=$([ -n "$files" ] && awk '/^Pss:/ { s += $2 } END { print s + 0 }' $files 2>/dev/null || echo 0)
    [ "${sum:-0}" -gt "$peak" ] && peak=$sum
    sleep "$2"
  done
  echo "$peak"
}

# The median of the numbers on standard input, one a line: the middle one, or the mean of
# the two middle ones for an even count; "nan" when there are none.
median() {
  sort -g | awk '{ v[NR] = $1 } END { if (NR == 0) print "nan"; else if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
