#!/bin/bash
# Soak test of tftpput through the lossy relay (drops, duplicates and delays datagrams) to
# in.tftpd, to the simulated device's TFTP server and optionally to atftpd, in a private
# loopback-only namespace.
# Every upload must end byte-identical on the server or with a reported failure (exit code
# not 0); an upload that ends "done" with a different image is the fault this hunts for.
# usage: bench/soak.sh [BUILD_DIR] [--uploads N] [--max-kib N] [--loss SHARE] [--big|--no-big]
#        [--seed N] [--windowsize N] [--timeout MS] [--servers "sim hpa atftpd"]
#        [--doc FILE | --doc-append FILE] [--traces DIR]
#   defaults: 200 uploads per server of 0 to 3072 KiB, 5 % loss, one image of more than
#   65536 blocks per server, tftpput's own window and time-out, servers sim and hpa. Needs real
#   root for in.tftpd and atftpd (skipped otherwise). --doc writes a new file, --doc-append
#   adds this run's section to one. --traces keeps a packet trace (pcapng) of every upload
#   that did not end byte-identical in DIR.
# Exit 0 when no upload ended "done" with a wrong image, 1 otherwise.
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
if [ -z "${FTPUPG_SOAK_IN_NS:-}" ]; then
  FTPUPG_SOAK_IN_NS=1 exec "$root/scripts/netns-run" env FTPUPG_SOAK_IN_NS=1 bash "$0" "$@"
fi
build=$root/build
if [ $# -gt 0 ] && [ "${1#--}" = "$1" ]; then build=$1; shift; fi
build=$(cd "$build" && pwd)
uploads=200 max_kib=3072 loss=0.05 big=1 seed=9 doc="" append=0 window="" timeout="" servers="sim hpa" traces=""
while [ $# -gt 0 ]; do
  case $1 in
    --uploads) uploads=$2; shift 2 ;;
    --max-kib) max_kib=$2; shift 2 ;;
    --loss) loss=$2; shift 2 ;;
    --big) big=1; shift ;;
    --no-big) big=0; shift ;;
    --seed) seed=$2; shift 2 ;;
    --windowsize) window=$2; shift 2 ;;
    --timeout) timeout=$2; shift 2 ;;
    --servers) servers=$2; shift 2 ;;
    --traces) traces=$(realpath -m "$2"); mkdir -p "$traces"; shift 2 ;;
    --doc) doc=$(realpath -m "$2"); shift 2 ;;
    --doc-append) doc=$(realpath -m "$2"); append=1; shift 2 ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
  esac
done
tftpput=$build/tftpput/tftpput simtftpd=$build/sim/ftpupg-simtftpd relay=$build/sim/ftpupg-lossy-relay
atftpd=${FTPUPG_ATFTPD:-$root/.deps/atftpd/usr/sbin/atftpd}
for t in "$tftpput" "$simtftpd" "$relay"; do [ -x "$t" ] || { echo "missing $t (build it first)" >&2; exit 2; }; done
client_opts=()
[ -n "$timeout" ] && client_opts+=(-t "$timeout")
[ -n "$window" ] && client_opts+=(-w "$window")

work=$(mktemp -d /tmp/ftpupg-soak.XXXXXX)
chmod 755 "$work"
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done; wait 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT
cd "$work"

wait_file() { for _ in $(seq 200); do [ -s "$1" ] && return 0; sleep 0.05; done; echo "no $1" >&2; exit 1; }
real_root() { read -r a b _ < /proc/self/uid_map; [ "$a" = 0 ] && [ "$b" = 0 ]; }

# Servers retransmit after 10 ms (in.tftpd's shortest) so that a lost datagram costs little;
# atftpd's shortest is a second. The client's time-out per try (-t) must be well inside a
# server's patience: in.tftpd gives up after about 0.7 s of silence here, the simulated
# device after 5 s. in.tftpd answers a repeated last block only for about its retransmission
# time, so an upload whose last ACK is lost fails there (the image is whole: reported so).
lanes=""
for server in $servers; do
  case $server in
    sim)
      mkdir sim
      "$simtftpd" -a 127.0.0.2 -p 0 --port-file sim.port -d sim -o sim/slot.bin -t 10 -r 500 -q 2>sim.log &
      pids+=($!)
      wait_file sim.port
      lanes="$lanes sim:127.0.0.2:$(cat sim.port):sim" ;;
    hpa)
      real_root || { echo "SKIP in.tftpd (not real root)" >&2; continue; }
      mkdir hpa && chmod 777 hpa
      in.tftpd -4 -L -c -s -T 10000 -a :6901 "$work/hpa" 2>hpa.log &
      pids+=($!)
      for _ in $(seq 200); do ss -Hlun 'sport = :6901' | grep -q . && break; sleep 0.05; done
      lanes="$lanes hpa:127.0.0.1:6901:hpa" ;;
    atftpd)
      real_root || { echo "SKIP atftpd (not real root)" >&2; continue; }
      [ -x "$atftpd" ] || { echo "missing $atftpd (scripts/setup.sh)" >&2; exit 2; }
      mkdir atftpd && chmod 777 atftpd
      "$atftpd" --daemon --no-fork --port 6904 --bind-address 127.0.0.4 -r 1 --logfile "$work/atftpd.log" \
        "$work/atftpd" &
      pids+=($!)
      for _ in $(seq 200); do ss -Hlun 'sport = :6904' | grep -q . && break; sleep 0.05; done
      lanes="$lanes atftpd:127.0.0.4:6904:atftpd" ;;
    *) echo "unknown server $server" >&2; exit 2 ;;
  esac
done

# The images: random sizes, every fifth one an exact multiple of its block size.
RANDOM=$seed
mkdir img
plan=plan.txt
: >$plan
sizes=(512 1024 1468 8192)
for i in $(seq "$uploads"); do
  bs=${sizes[RANDOM % 4]}
  if [ $((i % 5)) = 0 ]; then
    bytes=$(( bs * ((RANDOM * 32768 + RANDOM) % (max_kib * 1024 / bs + 1)) ))
  else
    bytes=$(( (RANDOM * 32768 + RANDOM) % (max_kib * 1024 + 1) ))
  fi
  head -c "$bytes" /dev/urandom >img/$i
  echo "$i $bs $bytes" >>$plan
done
if [ $big = 1 ]; then
  # 70000 blocks of 512 bytes and a short last one: the block numbers wrap once.
  head -c $((70000 * 512 + 100)) /dev/urandom >img/big
  echo "big 512 $((70000 * 512 + 100))" >>$plan
fi

# One lane per server, both at once (each has its own relay: one transfer at a time).
lane() {  # lane NAME HOST PORT DIR N
  local name=$1 host=$2 port=$3 dir=$4 n=$5 rport
  "$relay" -l 127.0.0.1:0 --port-file relay-$name.port -s "$host:$port" --drop "$loss" --dup 0.02 \
    --reorder 0.02 --delay-ms 5 --seed $((seed + n)) -q 2>relay-$name.log &
  local rp=$!
  wait_file relay-$name.port
  rport=$(cat relay-$name.port)
  while read -r id bs bytes; do
    local remote=$name-$id start rc verdict
    start=$(date +%s%N)
    local trace_opts=()
    [ -n "$traces" ] && { rm -f trace-$name.pcapng; trace_opts=(--trace trace-$name.pcapng); }
    "$tftpput" -q --json -p "$rport" -b "$bs" "${client_opts[@]}" "${trace_opts[@]}" 127.0.0.1 img-$name/$id "$remote" \
      >json-$name.txt 2>err-$name.txt
    rc=$?
    local granted retrans
    granted=$(grep -Eo '"windowsize": *[0-9]+' json-$name.txt | grep -Eo '[0-9]+$')
    retrans=$(grep -Eo '"retransmissions": *[0-9]+' json-$name.txt | grep -Eo '[0-9]+$')
    local ms=$(( ($(date +%s%N) - start) / 1000000 ))
    if [ $rc != 0 ]; then
      verdict="failed:$(tr ' ' _ <err-$name.txt | head -c 60)"
      # A server may have the whole image although its last ACK never came back.
      cmp -s img/$id "$dir/$remote" && verdict="$verdict(image_whole)"
    else
      verdict=wrong
      for _ in $(seq 60); do cmp -s img/$id "$dir/$remote" && { verdict=identical; break; }; sleep 0.05; done
    fi
    [ -n "$traces" ] && [ "$verdict" != identical ] && cp trace-$name.pcapng "$traces/$name-$id.pcapng"
    echo "$name $id $bs $bytes $rc $verdict $ms ${granted:--} ${retrans:-0}" >>results-$name.txt
    rm -f "$dir/$remote"
  done <$plan
  kill $rp; wait $rp 2>/dev/null
  grep -h passed relay-$name.log | sed "s/^/$name relay: /" >relay-$name.totals
}
n=0 lane_pids=()
for l in $lanes; do
  IFS=: read -r name host port dir <<<"$l"
  : >results-$name.txt
  # Images of its own: an upload opens its file with sharing denied.
  cp -r img img-$name
  lane "$name" "$host" "$port" "$dir" $n &
  lane_pids+=($!)
  n=$((n + 1))
done
wait "${lane_pids[@]}"

table=$(awk '
  { total[$1]++; bytes[$1] += $4; ms[$1] += $7; re[$1] += $9
    if ($8 != "-") { lo = ($1 in wmin) ? wmin[$1] : $8; hi = ($1 in wmax) ? wmax[$1] : $8
                     wmin[$1] = ($8 < lo) ? $8 : lo; wmax[$1] = ($8 > hi) ? $8 : hi }
    if ($6 == "identical") ok[$1]++; else if ($6 == "wrong") wrong[$1]++; else fail[$1]++
    if ($6 ~ /image_whole/) whole[$1]++
    if ($2 == "big") big[$1] = $6 " in " $7 " ms" }
  END {
    print "| server | uploads | byte-identical | reported failure | of them whole on the server | done with a wrong image | MiB | minutes | window granted | retransmissions | image of 70001 blocks |"
    print "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|"
    for (s in total)
      printf "| %s | %d | %d | %d | %d | %d | %.1f | %.1f | %s | %d | %s |\n", s, total[s], ok[s], fail[s], whole[s], wrong[s],
        bytes[s] / 1048576, ms[s] / 60000,
        (s in wmin) ? ((wmin[s] == wmax[s]) ? wmin[s] : wmin[s] "-" wmax[s]) : "-", re[s], (s in big) ? big[s] : "-"
  }' results-*.txt)
failures=$(awk '$6 != "identical" && $6 != "wrong" { print "  " $1 " " $2 " (blksize " $3 ", " $4 " bytes): " $6 }' results-*.txt)
facts="$(date -u '+%Y-%m-%d %H:%M UTC'); seed $seed; $uploads uploads of 0 to $max_kib KiB per server (every fifth an
exact multiple of its block size; block sizes 512, 1024, 1468, 8192); relay: $loss drop, 0.02 duplicate,
0.02 delayed up to 5 ms, each way; servers retransmit after 10 ms (atftpd: 1 s), the
simulated device up to 500 times, in.tftpd for about 0.7 s;
tftpput ${client_opts[*]}; load average $(cut -d' ' -f1-3 /proc/loadavg) at the end."
out="$facts

$table

$(cat relay-*.totals 2>/dev/null)"
[ -z "$failures" ] || out="$out

Reported failures:
$failures"
echo "$out"
if [ -n "$doc" ]; then
  [ $append = 1 ] || : >"$doc"
  {
    if [ $append = 0 ]; then
      echo "# TFTP soak under loss"
      echo
      echo "Made with \`bench/soak.sh BUILD_DIR --doc docs/soak-tftp.md\` (needs root for in.tftpd)."
      echo "Each upload is compared with cmp on the server's side."
    fi
    echo
    echo "## tftpput ${client_opts[*]}"
    echo
    echo "$out"
  } >>"$doc"
fi
! grep -q " wrong " results-*.txt
