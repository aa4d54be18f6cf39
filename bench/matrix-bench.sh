#!/bin/bash
# The upload engine across a matrix of devices and links, every figure measured side by side
# in one run, inside a private loopback-only namespace. Devices (ftpupg-simtftpd):
#   free     loss-free, answering at once
#   s5 s12 s30   a service time of 5, 12 and 30 ms before every ACK (--ack-delay-ms)
#   s5-50    a service time drawn from 5 to 50 ms for every ACK (seeded)
#   pause    pausing 300 ms every 64 blocks (a flash erase)
#   buf16k   a receive buffer of 16 KiB
#   loss1 loss5  losing 1 and 5 % of what it receives and of its ACKs
# by links:
#   lo       loopback
#   r500 r25 ftpupg-lossy-relay holding every datagram 500 us, and 25 ms, each way
#   tbf      `tc qdisc ... tbf rate 100mbit limit 24kb` on loopback: 100 Mbit/s, a queue of 16
#            datagrams
# and atftpd where it applies (loss-free on every link; loss1 and loss5 on the relay links,
# the relay losing the share each way). In every cell tftpput and atftp's client upload the
# same file with the same window, taking turns; each time is set against the cell's ideal:
#   ideal = max(windows x (link round trip + service time) + pauses + bytes / link rate,
#               base + windows x service time + pauses)
# where base is the faster client's loss-free time on the same link and server, scaled to the
# cell's blocks (what the machine and the path cost without the device's own waits).
# Goals (pass/FAIL per cell): the image identical; the time within 1.3x the ideal (2x with
# loss); blocks sent again at most 10 % of the blocks (with loss: 3x the datagrams lost); not
# slower than atftp.
# usage: bench/matrix-bench.sh BUILD_DIR [-w N | --windows 4,8,16,32] [--runs N] [--quick]
#          [--links "lo r500 r25 tbf"] [--devices "free s12 ..."] [--enforce] [--doc FILE]
#   --windows  a sweep: the matrix once per window (one run each unless --runs), the cells of
#              all windows taking turns, then one summary row per window
#   --quick    loopback x {free, s12}, one run, small files (the ctest test)
#   --raw FILE keep the runs' raw results; --from-raw FILE makes the tables from them again
#   --enforce  exit 1 when a cell misses a goal; without it, only when an upload by tftpput
#              failed or arrived different
#   atftpd and tbf need real root and are left out without it; atftpd comes from .deps
#   (scripts/setup.sh), atftp's client from Debian (atftp).
set -u
. "$(dirname "$0")/bench-lib.sh" "$@"
usage() { sed -n 25,34p "$0" >&2; exit 2; }
[ $# -ge 1 ] || usage
build=$(realpath "$1"); shift
windows=8 runs="" quick=0 links="lo r500 r25 tbf" doc="" enforce=0 raw="" from_raw=""
devices="free s5 s12 s30 s5-50 pause buf16k loss1 loss5"
while [ $# -gt 0 ]; do
  case $1 in
    -w) windows=$2; shift 2 ;;
    --windows) windows=${2//,/ }; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    --quick) quick=1 links=lo devices="free s12"; shift ;;
    --links) links=$2; shift 2 ;;
    --devices) devices=$2; shift 2 ;;
    --enforce) enforce=1; shift ;;
    --doc) doc=$(realpath -m "$2"); shift 2 ;;
    --raw) raw=$(realpath -m "$2"); shift 2 ;;
    --from-raw) from_raw=$(realpath "$2"); shift 2 ;;
    *) echo "unknown option $1" >&2; usage ;;
  esac
done
for w in $windows; do [[ $w =~ ^[1-9][0-9]*$ ]] || { echo "not a window: $w" >&2; exit 2; }; done
set -- $windows
[ -n "$runs" ] || { [ $# -gt 1 ] || [ $quick = 1 ] && runs=1 || runs=3; }
tftpput=$build/tftpput/tftpput relay=$build/sim/ftpupg-lossy-relay simtftpd=$build/sim/ftpupg-simtftpd
atftpd=${FTPUPG_ATFTPD:-$root/.deps/atftpd/usr/sbin/atftpd}
for t in "$tftpput" "$relay" "$simtftpd"; do [ -x "$t" ] || { echo "missing $t (build it first)" >&2; exit 1; }; done
notes=()
have_atftp=1
command -v atftp >/dev/null || { have_atftp=0; notes+=("atftp's client missing (scripts/setup.sh installs it): no comparison"); }
read -r uid_in uid_out _ </proc/self/uid_map
real_root=$([ "$uid_in" = 0 ] && [ "$uid_out" = 0 ] && echo 1 || echo 0)
use_atftpd=$([ $real_root = 1 ] && [ -x "$atftpd" ] && [ $quick = 0 ] && echo 1 || echo 0)
[ $real_root = 1 ] || notes+=("not real root: no atftpd, no tbf")
[ $real_root = 1 ] || [ $quick = 1 ] || [ -x "$atftpd" ] || notes+=("no atftpd at $atftpd (scripts/setup.sh)")
if [ $real_root = 0 ]; then links=${links//tbf/}; fi
# A tftpput upload not done in this time has failed (the goals are met far below it);
# FTPUPG_MATRIX_CAP overrides it. atftp gets 1.5x tftpput's time in the same run and 1 s
# more: past that it is slower whatever its time (it waits 5 s per loss it does not see).
cap_floor=${FTPUPG_MATRIX_CAP:-$([ $quick = 1 ] && echo 60 || echo 20)}
blk=1024
# A run's raw results instead of new runs: its settings come with them.
# shellcheck disable=SC1090
[ -z "$from_raw" ] || . "$from_raw"

work=$(mktemp -d /tmp/ftpupg-matrix-bench.XXXXXX)
chmod 755 "$work"
mkdir "$work/srv" && chmod 777 "$work/srv"
pids=() qdisc=0
cleanup() {
  [ $qdisc = 1 ] && tc qdisc del dev lo root 2>/dev/null
  # The servers, and a relay or client of an upload cut short.
  for p in "${pids[@]}" $(bench_descendants $$); do kill "$p" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
cd "$work" || exit 1
# Clients on CPU 0, servers and relays on CPU 1 (when there is one).
pin0=() pin1=()
[ "$(nproc)" -ge 2 ] && pin0=(taskset -c 0) pin1=(taskset -c 1)

load() { cut -d' ' -f1 /proc/loadavg; }
wait_file() { for _ in $(seq 400); do [ -s "$1" ] && return 0; sleep 0.05; done; echo "no $1" >&2; exit 1; }

# ---- The devices ----------------------------------------------------------------------

# device_args NAME: the simulated device's switches.
device_args() {
  case $1 in
    free) ;;
    s5) echo --ack-delay-ms 5 ;;
    s12) echo --ack-delay-ms 12 ;;
    s30) echo --ack-delay-ms 30 ;;
    s5-50) echo --ack-delay-ms 5-50 ;;
    pause) echo --pause-ms 300 --pause-every 64 ;;
    buf16k) echo --receive-buffer 16384 ;;
    loss1) echo --lose-received 0.01 --lose-acks 0.01 ;;
    loss5) echo --lose-received 0.05 --lose-acks 0.05 ;;
    *) echo "unknown device $1" >&2; exit 2 ;;
  esac
}
# service_ms NAME: the mean service time per ACK.
service_ms() { case $1 in s5) echo 5 ;; s12) echo 12 ;; s30) echo 30 ;; s5-50) echo 27.5 ;; *) echo 0 ;; esac; }
loss_share() { case $1 in loss1) echo 0.01 ;; loss5) echo 0.05 ;; *) echo 0 ;; esac; }
# The file per cell: a slow device or a long round trip gets a small one, so that no cell
# takes long; a fast one gets enough blocks to show a rate.
size_kib() {  # size_kib LINK DEVICE
  if [ $quick = 1 ]; then [ "$2" = free ] && echo 256 || echo 128; return; fi
  case $1/$2 in
    r25/*) echo 256 ;;
    */free | */buf16k | */loss1 | */loss5) echo 4096 ;;
    *) echo 512 ;;
  esac
}

if [ -z "$from_raw" ]; then
declare -A host=() port=()
n=10
for d in $devices; do
  args=$(device_args "$d") || exit 2
  # shellcheck disable=SC2086
  "${pin1[@]}" "$simtftpd" -a 127.0.0.$n -p 0 --port-file "$d.port" -d srv --seed $n $args 2>"$d.log" &
  pids+=($!)
  host[sim/$d]=127.0.0.$n
  n=$((n + 1))
done
for d in $devices; do wait_file "$d.port"; port[sim/$d]=$(cat "$d.port"); done
if [ $use_atftpd = 1 ]; then
  "${pin1[@]}" "$atftpd" --daemon --no-fork --port 6904 --bind-address 127.0.0.4 --logfile "$work/atftpd.log" \
    "$work/srv" &
  pids+=($!)
  for _ in $(seq 200); do ss -Hlun 'sport = :6904' | grep -q . && break; sleep 0.05; done
  for d in free loss1 loss5; do host[atftpd/$d]=127.0.0.4 port[atftpd/$d]=6904; done
fi
for d in $devices; do
  for l in $links; do
    [ -f "img$(size_kib "$l" "$d")" ] || head -c $(($(size_kib "$l" "$d") * 1024)) /dev/urandom >"img$(size_kib "$l" "$d")"
  done
done

fi

# servers LINK DEVICE: who serves the cell. atftpd loses nothing itself: its loss cells are
# on the relay links, the relay losing the share.
servers() {
  local s=sim
  if [ $use_atftpd = 1 ]; then
    case $2 in
      free) s="sim atftpd" ;;
      loss1 | loss5) [ "$1" = r500 ] || [ "$1" = r25 ] && s="sim atftpd" ;;
    esac
  fi
  echo "$s"
}

# ---- One upload -----------------------------------------------------------------------

# upload CLIENT W SERVER DEVICE LINK CAP N: upload number N; prints "seconds resent lost", with
# "CAP" for seconds when it was not done within CAP (atftp: ">CAP"), "EXITn" when it failed with
# status n, "DIFF" when it ended with 0 but the image arrived different.
upload() {
  local client=$1 w=$2 server=$3 device=$4 link=$5 cap=$6 count=$7 h p f name cmd start end rp="" lat="" drop=0 lost=0
  f=img$(size_kib "$link" "$device")
  name=up-$count
  h=${host[$server/$device]} p=${port[$server/$device]}
  case $link in r500) lat=500 ;; r25) lat=25000 ;; esac
  [ $server = atftpd ] && drop=$(loss_share "$device")
  if [ -n "$lat" ]; then
    rm -f relay.port
    "${pin1[@]}" "$relay" -l 127.0.0.1:0 --port-file relay.port -s "$h:$p" --latency-us $lat --drop "$drop" \
      --seed $((count + 1)) -q 2>relay.log &
    rp=$!
    wait_file relay.port
    h=127.0.0.1 p=$(cat relay.port)
  fi
  case $client in
    tftpput) cmd=("$tftpput" -q --json -p "$p" -b "$blk" -w "$w" "$h" "$f" "$name") ;;
    atftp) cmd=(atftp --option "blksize $blk" --option "windowsize $w" -p -l "$f" -r "$name" "$h" "$p") ;;
  esac
  start=$(date +%s%N)
  timeout "$cap" "${pin0[@]}" "${cmd[@]}" >out.json 2>err.txt
  local status=$?
  end=$(date +%s%N)
  if [ -n "$rp" ]; then
    kill $rp; wait $rp 2>/dev/null
    lost=$(awk '/dropped/ { for (i = 1; i < NF; ++i) if ($(i + 1) ~ /^dropped/) s += $i } END { print s + 0 }' relay.log)
  fi
  if [ $status = 124 ] && [ $client = atftp ]; then echo ">$cap - -"; rm -f "srv/$name"; return; fi
  if [ $status != 0 ]; then
    [ $status = 124 ] && echo "CAP - -" || echo "EXIT$status - -"
    rm -f "srv/$name"
    return
  fi
  # atftpd may write the last block after its ACK.
  for _ in $(seq 40); do cmp -s "$f" "srv/$name" && break; sleep 0.05; done
  cmp -s "$f" "srv/$name" || { echo "DIFF - -"; rm -f "srv/$name"; return; }
  rm -f "srv/$name"
  local resent=-
  [ $client = tftpput ] && resent=$(python3 -c 'import json; print(json.load(open("out.json"))["retransmissions"])')
  if [ $server = sim ] && [ "$(loss_share "$device")" != 0 ]; then
    lost=$(grep -F "received \"$name\"" "$device.log" | sed -n 's/.*lost on purpose \([0-9]*\) received and \([0-9]*\) ACKs.*/\1 \2/p' |
      awk '{ print $1 + $2 }')
  fi
  awk -v s="$start" -v e="$end" -v r="$resent" -v l="${lost:-0}" 'BEGIN { printf "%.3f %s %s\n", (e - s) / 1e9, r, l }'
}

# ---- The model -------------------------------------------------------------------------

blocks_of() { echo $(($1 * 1024 / blk + 1)); } # KiB: the last block is short or empty
# model LINK DEVICE W: the ideal from the path and the device alone, and the device's own waits.
model() {
  local kib=$1 link=$2 device=$3 w=$4 rtt=0 rate=0
  case $link in r500) rtt=0.001 ;; r25) rtt=0.05 ;; tbf) rate=100e6 ;; esac
  awk -v b="$(blocks_of "$kib")" -v w="$w" -v rtt=$rtt -v rate=$rate -v svc="$(service_ms "$device")" \
    -v pause="$([ "$device" = pause ] && echo 1 || echo 0)" -v bytes=$((kib * 1024)) 'BEGIN {
      windows = int((b + w - 1) / w); waits = windows * svc / 1000 + (pause ? int((b - 1) / 64) * 0.3 : 0)
      printf "%.4f %.4f\n", windows * rtt + waits + (rate > 0 ? bytes * 8 / rate : 0), waits }'
}

# ---- The runs ---------------------------------------------------------------------------

cap_of() {  # cap_of KIB LINK DEVICE W: tftpput's limit for one upload in the cell
  awk -v i="$(model "$@" | cut -d' ' -f1)" -v c="$cap_floor" 'BEGIN { c2 = 10 * i; printf "%d", (c2 > c ? c2 : c) }'
}

if [ -z "$from_raw" ]; then
declare -A T=() R=() L=()
count=0 t0=$(date +%s)
for run in $(seq "$runs"); do
  for link in $links; do
    if [ "$link" = tbf ]; then
      tc qdisc add dev lo root tbf rate 100mbit burst 16kb limit 24kb && qdisc=1
    fi
    for device in $devices; do
      for server in $(servers "$link" "$device"); do
        for w in $windows; do
          key=$w/$link/$server/$device
          read -r ideal _ < <(model "$(size_kib "$link" "$device")" "$link" "$device" "$w")
          cap=$(cap_of "$(size_kib "$link" "$device")" "$link" "$device" "$w")
          count=$((count + 1))
          read -r s r l < <(upload tftpput "$w" $server "$device" "$link" "$cap" $count)
          T[$key/tftpput]+="$s " R[$key]+="$r " L[$key]+="$l "
          if [ $have_atftp = 1 ]; then
            acap=$(awk -v s="$s" -v c="$cap" 'BEGIN { if (s ~ /^[0-9.]+$/) printf "%d", 1.5 * s + 1 + 0.999; else print c }')
            count=$((count + 1))
            read -r s _ _ < <(upload atftp "$w" $server "$device" "$link" "$acap" $count)
            T[$key/atftp]+="$s "
          fi
        done
      done
    done
    if [ $qdisc = 1 ]; then tc qdisc del dev lo root; qdisc=0; fi
    echo "run $run: $link done ($(($(date +%s) - t0)) s, load $(load))" >&2
  done
done
elapsed=$(($(date +%s) - t0))
facts="$(date -u '+%Y-%m-%d %H:%M UTC'); $(nproc) CPUs, $(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -1);
kernel $(uname -r); $(git -C "$root" log -1 --format='commit %h' 2>/dev/null || echo 'no git'); block size $blk; median of $runs run(s), cells
taking turns within each run; clients on CPU 0, servers and relays on CPU 1; $elapsed s in all; load $(load) at the end."
[ -z "$raw" ] || declare -p T R L windows links devices runs quick use_atftpd have_atftp notes facts >"$raw"
fi

# ---- The tables -------------------------------------------------------------------------

# med VALUES: the median of the numbers (">X" counts as X, and marks the result ">");
# failed runs are left out; "-" when none is left.
med() {
  local v m
  v=$(tr ' ' '\n' <<<"$1" | grep -E '^>?[0-9.]+$')
  [ -n "$v" ] || { echo -; return; }
  m=$(tr -d '>' <<<"$v" | median)
  grep -q '>' <<<"$v" && echo ">$m" || echo "$m"
}
fails() { tr ' ' '\n' <<<"$1" | grep -cE '^(CAP|EXIT|DIFF)'; }
# failures VALUES CAP: how the failed runs ended, e.g. "2 not done in 20 s, 1 exit 3".
failures() {
  tr ' ' '\n' <<<"$1" | grep -E '^(CAP|EXIT|DIFF)' | sort | uniq -c |
    awk -v cap="$2" '{ k = $2; sub(/^EXIT/, "exit ", k); if ($2 == "CAP") k = "not done in " cap " s"; if ($2 == "DIFF") k = "DIFFERED";
      printf "%s%d %s", (NR > 1 ? ", " : ""), $1, k }'
}
num() { echo "${1#>}"; }

out=""
emit() { out+="$1"$'\n'; echo "$1"; }
declare -A S=() # per window: summary figures
missed_all=0 failed_all=0
emit "$facts"
for note in "${notes[@]}"; do emit "Note: $note."; done
for w in $windows; do
  emit ""
  emit "### Window $w"
  emit ""
  emit "| device | link | server | KiB | ideal s | tftpput s | x ideal | atftp s | tftpput / atftp | identical | sent again | lost | missed |"
  emit "|---|---|---|---:|---:|---:|---:|---:|---:|---|---:|---:|---|"
  passed=0 cells=0 logsum=0 logn=0 worst=0 resent_all=0 blocks_all=0 vs_sum=0 vs_n=0 tsum=0 asum=0
  for link in $links; do
    for device in $devices; do
      for server in $(servers "$link" "$device"); do
        key=$w/$link/$server/$device
        kib=$(size_kib "$link" "$device")
        blocks=$(blocks_of "$kib")
        read -r ideal waits < <(model "$kib" "$link" "$device" "$w")
        # The base: the faster client's loss-free time on this link and server, per block.
        bt=$(med "${T[$w/$link/$server/free/tftpput]:-}") ba=$(med "${T[$w/$link/$server/free/atftp]:-}")
        base=$(awk -v a="$(num "$bt")" -v b="$(num "$ba")" -v bb="$(blocks_of "$(size_kib "$link" free)")" -v n="$blocks" \
          -v ca="${ba:0:1}" 'BEGIN { m = -1; if (a ~ /^[0-9.]+$/) m = a; if (ca != ">" && b ~ /^[0-9.]+$/ && (m < 0 || b < m)) m = b
            print (m < 0 ? 0 : m * n / bb) }')
        ideal=$(awk -v m="$ideal" -v b="$base" -v x="$waits" 'BEGIN { i = b + x; printf "%.3f", (m > i ? m : i) }')
        t=$(med "${T[$key/tftpput]}") a=$(med "${T[$key/atftp]:-}")
        f=$(fails "${T[$key/tftpput]}")
        r=$(tr ' ' '\n' <<<"${R[$key]}" | grep -E '^[0-9]+$' | median)
        l=$(tr ' ' '\n' <<<"${L[$key]}" | grep -E '^[0-9]+$' | median)
        loss=$(loss_share "$device")
        x=$(awk -v t="$t" -v i="$ideal" 'BEGIN { if (t ~ /^[0-9.]+$/ && i > 0) printf "%.2f", t / i; else print "-" }')
        vs=$(awk -v t="$t" -v a="$(num "$a")" -v c="${a:0:1}" 'BEGIN {
          if (t !~ /^[0-9.]+$/ || a !~ /^[0-9.]+$/ || a == 0) print "-"; else printf "%s%.2f", (c == ">" ? "<" : ""), t / a }')
        cap=$(cap_of "$kib" "$link" "$device" "$w")
        missed=()
        [ "$f" -gt 0 ] && missed+=("$(failures "${T[$key/tftpput]}" "$cap")")
        limit=$([ "$loss" = 0 ] && echo 1.3 || echo 2)
        [ "$x" != - ] && awk -v x="$x" -v g="$limit" 'BEGIN { exit !(x > g) }' && missed+=("time > ${limit}x")
        if [ "$loss" = 0 ]; then
          awk -v r="$r" -v b="$blocks" 'BEGIN { exit !(r != "nan" && r > 0.1 * b) }' && missed+=("sent again > 10 %")
        else
          awk -v r="$r" -v l="$l" 'BEGIN { exit !(r != "nan" && l != "nan" && r > 3 * l) }' && missed+=("sent again > 3x lost")
        fi
        [ "${vs:0:1}" != "<" ] && [ "$vs" != - ] && awk -v v="$vs" 'BEGIN { exit !(v > 1) }' && missed+=("slower than atftp")
        cells=$((cells + 1))
        [ ${#missed[@]} = 0 ] && passed=$((passed + 1)) || missed_all=$((missed_all + 1))
        [ "$f" -gt 0 ] || [ "$t" = - ] && failed_all=$((failed_all + 1))
        share=$(awk -v r="$r" -v b="$blocks" 'BEGIN { if (r == "nan") print "-"; else printf "%s (%.1f %%)", r, 100 * r / b }')
        differed=$(tr ' ' '\n' <<<"${T[$key/tftpput]}" | grep -c DIFF)
        id=$([ "$differed" != 0 ] && echo "NO ($differed)" || { [ "$t" = - ] && echo - || echo yes; })
        miss=$(printf '%s; ' "${missed[@]}"); miss=${miss%; }
        emit "| $device | $link | $server | $kib | $ideal | $t | $x | ${a:--} | $vs | $id | $share | $([ "$loss" = 0 ] && echo - || echo "$l") | ${miss:-none} |"
        # The window's summary.
        if [ "$x" != - ]; then
          logsum=$(awk -v s="$logsum" -v x="$x" 'BEGIN { print s + log(x) }') logn=$((logn + 1))
          worst=$(awk -v a="$worst" -v x="$x" 'BEGIN { print (x > a ? x : a) }')
        fi
        tsum=$(awk -v s="$tsum" -v t="$t" -v c="$cap" 'BEGIN { print s + (t ~ /^[0-9.]+$/ ? t : c) }')
        if [ "$r" != nan ]; then
          resent_all=$(awk -v a="$resent_all" -v r="$r" 'BEGIN { print a + r }') blocks_all=$((blocks_all + blocks))
        fi
        if [ "$vs" != - ] && [ "${vs:0:1}" != "<" ]; then
          vs_sum=$(awk -v s="$vs_sum" -v x="$vs" 'BEGIN { print s + log(x) }') vs_n=$((vs_n + 1))
        fi
        [ "$a" != - ] && asum=$(awk -v s="$asum" -v t="$(num "$a")" 'BEGIN { print s + t }')
      done
    done
  done
  S[$w]=$(awk -v p=$passed -v c=$cells -v ls="$logsum" -v ln=$logn -v wo="$worst" -v r=$resent_all -v b=$blocks_all \
    -v vs="$vs_sum" -v vn=$vs_n -v ts="$tsum" -v as="$asum" 'BEGIN {
    printf "| %d of %d | %s | %s | %s | %s | %.2f | %.2f |", p, c, (ln ? sprintf("%.2f", exp(ls / ln)) : "-"), wo,
      (b ? sprintf("%.1f %%", 100 * r / b) : "-"), (vn ? sprintf("%.2f", exp(vs / vn)) : "-"), ts, as }')
done
emit ""
emit "### Summary per window"
emit ""
emit "Cells passing all their goals; the geometric mean and the worst of tftpput's time over the ideal;"
emit "the blocks sent again over all blocks; the geometric mean of tftpput's time over atftp's"
emit "(cells where atftp finished); the sums of the medians (those not done at their cap)."
emit ""
emit "| window | passed | x ideal (mean) | x ideal (worst) | sent again | tftpput / atftp | tftpput s | atftp s |"
emit "|---:|---|---:|---:|---:|---:|---:|---:|"
for w in $windows; do emit "| $w ${S[$w]}"; done

[ -z "$doc" ] || echo "$out" >"$doc"
# The exit status: failures of tftpput always; missed goals with --enforce.
[ $failed_all = 0 ] || { echo "$failed_all cell(s) with uploads by tftpput that failed or differed" >&2; exit 1; }
[ $enforce = 0 ] || [ $missed_all = 0 ] || { echo "$missed_all cell(s) missed a goal" >&2; exit 1; }
exit 0
