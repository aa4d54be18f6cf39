#!/bin/bash
# TFTP upload benchmark: tftpput, curl, atftp and tftp-hpa's client against the same in.tftpd,
# client and server pinned to CPU 0, inside a private loopback-only namespace.
# usage: bench/tftp-bench.sh BUILD_DIR [--runs N] [--sizes "1 16 64"] [--doc FILE]
#   BUILD_DIR must hold tftp/tftpput and bench/ftpupg-udp-rtt. Needs real root (in.tftpd
#   has to drop privileges). Prints a Markdown table; --doc also writes it to FILE.
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
if [ -z "${FTPUPG_BENCH_IN_NS:-}" ]; then
  FTPUPG_BENCH_IN_NS=1 exec "$root/scripts/netns-run" env FTPUPG_BENCH_IN_NS=1 bash "$0" "$@"
fi
[ $# -ge 1 ] || { sed -n 4,6p "$0" >&2; exit 2; }
build=$(realpath "$1"); shift
runs=3 sizes="1 16 64" doc=""
while [ $# -gt 0 ]; do
  case $1 in
    --runs) runs=$2; shift 2 ;;
    --sizes) sizes=$2; shift 2 ;;
    --doc) doc=$(realpath -m "$2"); shift 2 ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
  esac
done
tftpput=$build/tftp/tftpput
rtt_tool=$build/bench/ftpupg-udp-rtt
for t in "$tftpput" "$rtt_tool"; do [ -x "$t" ] || { echo "missing $t (build it first)" >&2; exit 1; }; done

work=$(mktemp -d /tmp/ftpupg-bench.XXXXXX)
chmod 755 "$work"
mkdir "$work/srv" && chmod 777 "$work/srv"
cleanup() { [ -n "${hpa:-}" ] && kill "$hpa" 2>/dev/null; wait 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT
cd "$work"

taskset -c 0 in.tftpd -4 -L -c -s -a :6901 "$work/srv" &
hpa=$!
sleep 0.3
rtt=$(taskset -c 0 "$rtt_tool" 20000)

# One upload: prints "seconds cpu_seconds peak_rss_kib", or "FAIL".
upload() {  # upload CLIENT BLKSIZE FILE
  local client=$1 bs=$2 f=$3 name=up-$1-$2
  rm -f "srv/$name"
  local cmd
  case $client in
    tftpput) cmd=("$tftpput" -p 6901 -b "$bs" 127.0.0.1 "$f" "$name") ;;
    curl) cmd=(curl -sS --tftp-blksize "$bs" -T "$f" "tftp://127.0.0.1:6901/$name") ;;
    atftp) cmd=(atftp --option "blksize $bs" -p -l "$f" -r "$name" 127.0.0.1 6901) ;;
    tftp-hpa) cmd=(tftp -m binary 127.0.0.1 6901 -c put "$f" "$name") ;;
  esac
  local t0 t1
  t0=$(date +%s%N)
  if ! /usr/bin/time -f "%U %S %M" -o time.txt taskset -c 0 "${cmd[@]}" >/dev/null 2>err.txt; then
    echo FAIL; return
  fi
  t1=$(date +%s%N)
  # tftp-hpa exits 0 after an ERROR: compare every upload.
  cmp -s "$f" "srv/$name" || { echo "differs on arrival" > err.txt; echo FAIL; return; }
  awk -v ns=$((t1 - t0)) '{ printf "%.6f %.4f %s\n", ns / 1e9, $1 + $2, $3 }' time.txt
}

median() { sort -g | awk '{ v[NR] = $1 } END { if (NR == 0) print "nan"; else print v[int((NR + 1) / 2)] }'; }

results=results.txt
: > $results
for mib in $sizes; do
  head -c $((mib * 1048576)) /dev/urandom > f$mib
  for bs in 512 1024 8192; do
    for client in tftpput curl atftp tftp-hpa; do
      [ $client = tftp-hpa ] && [ $bs != 512 ] && continue
      : > samples.txt
      failed=0
      for _ in $(seq "$runs"); do
        r=$(upload $client $bs f$mib)
        [ "$r" = FAIL ] && { failed=1; echo "upload failed: $client $bs $mib MiB: $(cat err.txt)" >&2; break; }
        echo "$r" >> samples.txt
      done
      [ $failed = 1 ] && { echo "$mib $bs $client FAIL" >> $results; continue; }
      secs=$(cut -d' ' -f1 samples.txt | median)
      cpu=$(cut -d' ' -f2 samples.txt | median)
      rss=$(cut -d' ' -f3 samples.txt | median)
      echo "$mib $bs $client $secs $cpu $rss" >> $results
      echo "$mib MiB blksize $bs $client: ${secs}s" >&2
    done
  done
  rm -f f$mib
done

table=$(awk -v rtt="$rtt" '
  $4 == "FAIL" { fail[$1 " " $2 " " $3] = 1; order[++n] = $0; next }
  {
    key = $1 " " $2; mbs = ($4 > 0) ? $1 * 1.048576 / $4 : 0
    speed[key " " $3] = mbs
    if ($3 != "tftpput" && mbs > best[key]) best[key] = mbs
    order[++n] = $0
  }
  END {
    print "| size MiB | blksize | client | MB/s | CPU s/MiB | peak RSS KiB | vs best peer | vs lock-step |"
    print "|---:|---:|---|---:|---:|---:|---:|---:|"
    for (i = 1; i <= n; i++) {
      split(order[i], f, " ")
      if (f[4] == "FAIL") { printf "| %s | %s | %s | FAIL | | | | |\n", f[1], f[2], f[3]; continue }
      key = f[1] " " f[2]; mbs = speed[key " " f[3]]
      limit = f[2] / rtt  # bytes per microsecond = MB/s
      peer = (best[key] > 0) ? sprintf("%.2f", mbs / best[key]) : "-"
      printf "| %s | %s | %s | %.1f | %.4f | %d | %s | %.2f |\n", f[1], f[2], f[3], mbs, f[5] / f[1], f[6], peer, mbs / limit
    }
  }' $results)

facts="$(date -u '+%Y-%m-%d %H:%M UTC'); $(nproc) CPUs, $(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -1);
kernel $(uname -r); in.tftpd $(in.tftpd -V 2>&1 | head -1); curl $(curl --version | head -1 | cut -d' ' -f2);
client and in.tftpd pinned to CPU 0 (taskset -c 0); loopback UDP round trip (median) ${rtt} us;
median of $runs runs; MB = 10^6 bytes; lock-step limit = blksize / round trip."
out="$facts

$table"
echo "$out"
if [ -n "$doc" ]; then
  {
    echo "# TFTP upload benchmark"
    echo
    echo "Made with \`bench/tftp-bench.sh BUILD_DIR --doc docs/bench-tftp.md\` (needs root)."
    echo "Every upload goes to the same in.tftpd and is compared with cmp."
    echo
    echo "$out"
  } > "$doc"
fi
