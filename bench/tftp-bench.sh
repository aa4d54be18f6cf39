#!/bin/bash
# TFTP upload benchmark: tftpput, curl, atftp and tftp-hpa's client next to the lock-step floor
# (bench/tftp_floor.c: one receive with a kernel time-out and one send per block, nothing
# else), all against the same in.tftpd, client and server pinned to CPU 0, inside a private
# loopback-only namespace. The clients take turns within each run, so that load from
# elsewhere falls on all of them alike.
# usage: bench/tftp-bench.sh BUILD_DIR [--runs N] [--sizes "16 64"] [--blksizes "512 1024 1468 8192"] [--doc FILE]
#   Needs real root (in.tftpd has to drop privileges). Prints a Markdown table; --doc also
#   writes it to FILE.
set -u
. "$(dirname "$0")/bench-lib.sh" "$@"
runs=5 sizes="16 64" blksizes="512 1024 1468 8192" doc=""
bench_args 7,9 runs sizes blksizes doc -- "$@"
rtt_tool=$build/bench/ftpupg-udp-rtt
bench_need "$tftpput" "$floor" "$rtt_tool" "$rusage"

work=$(mktemp -d /tmp/ftpupg-bench.XXXXXX)
chmod 755 "$work"
mkdir "$work/srv" && chmod 777 "$work/srv"
cleanup() { [ -n "${hpa:-}" ] && kill "$hpa" 2>/dev/null; wait 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT
cd "$work"

taskset -c 0 in.tftpd -4 -L -c -s -a :6901 "$work/srv" &
hpa=$!
for _ in $(seq 200); do ss -Hlun 'sport = :6901' | grep -q . && break; sleep 0.05; done
rtt=$(taskset -c 0 "$rtt_tool" 20000)

# One upload: prints "seconds user_seconds sys_seconds peak_rss_kib", or "FAIL". The times
# come from getrusage (GNU time rounds CPU time to 10 ms).
upload() {  # upload CLIENT BLKSIZE FILE
  local client=$1 bs=$2 f=$3 name=up-$1-$2
  rm -f "srv/$name"
  local cmd
  case $client in
    floor) cmd=("$floor" 127.0.0.1 6901 "$bs" "$f" "$name") ;;
    tftpput) cmd=("$tftpput" -q -p 6901 -b "$bs" 127.0.0.1 "$f" "$name") ;;
    curl) cmd=(curl -sS --tftp-blksize "$bs" -T "$f" "tftp://127.0.0.1:6901/$name") ;;
    atftp) cmd=(atftp --option "blksize $bs" -p -l "$f" -r "$name" 127.0.0.1 6901) ;;
    tftp-hpa) cmd=(tftp -m binary 127.0.0.1 6901 -c put "$f" "$name") ;;
  esac
  if ! taskset -c 0 "$rusage" -o time.txt "${cmd[@]}" >/dev/null 2>err.txt; then
    echo FAIL; return
  fi
  # tftp-hpa exits 0 after an ERROR: compare every upload.
  cmp -s "$f" "srv/$name" || { echo "differs on arrival" > err.txt; echo FAIL; return; }
  awk '{ printf "%.6f %.6f %.6f %s\n", $1 / 1e6, $2 / 1e6, $3 / 1e6, $4 }' time.txt
}


: > samples.txt
for mib in $sizes; do
  head -c $((mib * 1048576)) /dev/urandom > f$mib
  for bs in $blksizes; do
    clients="floor tftpput curl atftp"
    [ "$bs" = 512 ] && clients="$clients tftp-hpa"  # tftp-hpa's client has no block-size option
    for run in $(seq "$runs"); do
      for client in $clients; do
        r=$(upload $client $bs f$mib)
        [ "$r" = FAIL ] && echo "upload failed: $client $bs $mib MiB: $(cat err.txt)" >&2
        echo "$mib $bs $client $r" >> samples.txt
      done
    done
    echo "$mib MiB blksize $bs done" >&2
  done
  rm -f f$mib
done

# Medians per size, block size and client.
: > results.txt
while read -r mib bs client; do
  grep "^$mib $bs $client " samples.txt > one.txt
  if grep -q FAIL one.txt; then echo "$mib $bs $client FAIL" >> results.txt; continue; fi
  echo "$mib $bs $client $(cut -d' ' -f4 one.txt | median) $(cut -d' ' -f5 one.txt | median)" \
       "$(cut -d' ' -f6 one.txt | median) $(cut -d' ' -f7 one.txt | median)" >> results.txt
done < <(cut -d' ' -f1-3 samples.txt | awk '!seen[$0]++')

table=$(awk '
  { key = $1 " " $2; order[++n] = $0 }
  $3 == "floor" && $4 != "FAIL" { floor[key] = $4; floorUser[key] = $5; floorCpu[key] = $5 + $6 }
  END {
    print "| size MiB | blksize | client | ms | time vs floor | user ms/MiB | user vs floor | sys ms/MiB | CPU vs floor | peak RSS KiB |"
    print "|---:|---:|---|---:|---:|---:|---:|---:|---:|---:|"
    for (i = 1; i <= n; i++) {
      split(order[i], f, " ")
      if (f[4] == "FAIL") { printf "| %s | %s | %s | FAIL | | | | | | |\n", f[1], f[2], f[3]; continue }
      key = f[1] " " f[2]
      ratio = (floor[key] > 0) ? sprintf("%.3f", f[4] / floor[key]) : "-"
      uratio = (floorUser[key] > 0) ? sprintf("%.2f", f[5] / floorUser[key]) : "-"
      cratio = (floorCpu[key] > 0) ? sprintf("%.3f", (f[5] + f[6]) / floorCpu[key]) : "-"
      printf "| %s | %s | %s | %.1f | %s | %.2f | %s | %.2f | %s | %d |\n", f[1], f[2], f[3], f[4] * 1000, ratio,
        f[5] * 1000 / f[1], uratio, f[6] * 1000 / f[1], cratio, f[7]
    }
  }' results.txt)

facts="$(date -u '+%Y-%m-%d %H:%M UTC'); $(nproc) CPUs, $(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -1);
kernel $(uname -r); in.tftpd $(in.tftpd -V 2>&1 | head -1); curl $(curl --version | head -1 | cut -d' ' -f2);
client and in.tftpd pinned to CPU 0 (taskset -c 0); loopback UDP round trip (median) ${rtt} us;
median of $runs runs, clients taking turns within each run; times are wall-clock per upload;
user/sys CPU and peak RSS from getrusage (bench/rusage_run.c); CPU = user + sys of the client;
floor = bench/tftp_floor.c."
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
