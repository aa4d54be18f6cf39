#!/bin/bash
# Uploads on real links, every figure a ratio measured side by side in one run, inside a
# private loopback-only namespace; tftpput always with its default time-out (-t 4000):
#   relay    4 MiB at 1024 through ftpupg-lossy-relay holding every datagram 500 us each way
#            (a LAN's round trip) and losing 0, 1 and 5 % each way, to atftpd and to the
#            simulated device: tftpput -w 1, 8, 16 and 64 against its own loss-free time, and
#            `atftp --option "windowsize 16"` to atftpd next to tftpput -w 16
#   tbf      16 MiB at 1468 to atftpd behind `tc qdisc ... tbf rate 100mbit limit 24kb` on
#            loopback (a 100 Mbit/s link with a queue of 16 datagrams): -w 8, 16 and 64
#            against the link's rate, and the share of blocks sent again
#   pause    4 MiB at 1024 to the simulated device pausing 300 ms every 64 blocks (a flash
#            erase), next to the same device without pauses: time against the pauses plus
#            the loss-free time, and the share of blocks sent again
#   buffer   16 MiB at 1024 to the simulated device with a receive buffer of 16 KiB (about
#            15 blocks), next to the same device with the system's: -w 16 and -w 64
# The cases take turns within each run, so that load from elsewhere falls on all alike; the
# 1-minute load average is written beside every figure.
# usage: bench/loss-bench.sh BUILD_DIR [--runs N] [--parts "relay tbf pause buffer"] [--doc FILE]
#   Needs real root (atftpd drops privileges; tc) and atftpd under .deps (scripts/setup.sh).
set -u
. "$(dirname "$0")/bench-lib.sh" "$@"
runs=3 parts="relay tbf pause buffer" doc=""
bench_args 18,19 runs parts doc -- "$@"
atftpd=${FTPUPG_ATFTPD:-$root/.deps/atftpd/usr/sbin/atftpd}
bench_need "$tftpput" "$relay" "$simtftpd" "$atftpd" atftp
# A case slower than this is "not done": the goals are met far below it.
cap=${FTPUPG_LOSS_BENCH_CAP:-90}

bench_workdir loss-bench
chmod 755 "$work"
mkdir "$work/srv" && chmod 777 "$work/srv"
cd "$work"

load() { cut -d' ' -f1 /proc/loadavg; }
median() { sort -g | awk '{ v[NR] = $1 } END { if (NR == 0) print "nan"; else print v[int((NR + 1) / 2)] }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (a > 0 && b > 0 && a != "nan" && b != "nan") printf "%.2f", a / b; else print "-" }'; }
verdict() { awk -v v="$1" -v g="$3" -v op="$2" 'BEGIN { if (v == "-") { print "missed"; exit }
  ok = (op == "<=") ? v <= g : v >= g; print ok ? "met" : "missed" }'; }
wait_port() { for _ in $(seq 200); do ss -Hlun "sport = :$1" | grep -q . && return; sleep 0.05; done; }

taskset -c 0 "$atftpd" --daemon --no-fork --port 6904 --bind-address 127.0.0.4 --logfile "$work/atftpd.log" \
  "$work/srv" &
bench_pids+=($!)
"$simtftpd" -a 127.0.0.2 -p 6905 -d "$work/srv" -q &
bench_pids+=($!)
"$simtftpd" -a 127.0.0.3 -p 6906 -d "$work/srv" -q --pause-ms 300 --pause-every 64 &
bench_pids+=($!)
"$simtftpd" -a 127.0.0.4 -p 6907 -d "$work/srv" -q --receive-buffer 16384 &
bench_pids+=($!)
wait_port 6904; wait_port 6905; wait_port 6906; wait_port 6907
head -c $((4 << 20)) /dev/urandom >img4
head -c $((16 << 20)) /dev/urandom >img16

# upload CLIENT HOST PORT BLKSIZE FILE: one upload, on CPU 0; appends "seconds retransmitted
# blocks" to res.txt (FAIL when it failed, differed or took longer than the cap).
upload() {
  local client=$1 host=$2 port=$3 bs=$4 f=$5 name=up-$RANDOM cmd start end
  rm -f "srv/$name"
  case $client in
    tftpput-w*) cmd=("$tftpput" -q --json -p "$port" -b "$bs" -w "${client#tftpput-w}" "$host" "$f" "$name") ;;
    atftp-w*) cmd=(atftp --option "blksize $bs" --option "windowsize ${client#atftp-w}" -p -l "$f" -r "$name" "$host" "$port") ;;
  esac
  start=$(date +%s%N)
  if ! timeout "$cap" taskset -c 0 "${cmd[@]}" >out.json 2>err.txt; then
    echo "FAIL -" >>res.txt; return
  fi
  end=$(date +%s%N)
  for _ in $(seq 40); do cmp -s "$f" "srv/$name" && break; sleep 0.05; done
  cmp -s "$f" "srv/$name" || { echo "FAIL -" >>res.txt; return; }
  rm -f "srv/$name"
  local resent=-
  [ "${client#tftpput}" != "$client" ] && resent=$(python3 -c 'import json,sys; print(json.load(open("out.json"))["retransmissions"])')
  awk -v s="$start" -v e="$end" -v r="$resent" 'BEGIN { printf "%.3f %s\n", (e - s) / 1e9, r }' >>res.txt
}

# through LOSS SERVER CLIENT: one upload of 4 MiB at 1024 through a relay of its own.
through() {
  local loss=$1 server=$2 client=$3 host port
  case $server in
    atftpd) host=127.0.0.4 port=6904 ;;
    sim) host=127.0.0.2 port=6905 ;;
  esac
  rm -f relay.port
  taskset -c 1 "$relay" -l 127.0.0.1:0 --port-file relay.port -s "$host:$port" --drop "$loss" \
    --latency-us 500 --seed $((RANDOM + 1)) -q 2>/dev/null &
  local rp=$!
  for _ in $(seq 200); do [ -s relay.port ] && break; sleep 0.02; done
  : >res.txt
  upload "$client" 127.0.0.1 "$(cat relay.port)" 1024 img4
  kill $rp; wait $rp 2>/dev/null
  cat res.txt
}

out=""
emit() { out+="$1"$'\n'; echo "$1"; }

emit "$(date -u '+%Y-%m-%d %H:%M UTC'); $(nproc) CPUs, $(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -1);
kernel $(uname -r); atftpd $("$atftpd" -V 2>&1 | head -1 | cut -d' ' -f1); median of $runs runs, cases taking
turns within each run; FAIL: failed, differed on arrival or not done in $cap s; load = 1-minute load average
when the row was done (the machine is shared)."

if [[ " $parts " == *" relay "* ]]; then
  clients="tftpput-w1 tftpput-w8 tftpput-w16 tftpput-w64"
  declare -A t=() r=()
  for run in $(seq "$runs"); do
    for loss in 0 0.01 0.05; do
      for server in atftpd sim; do
        cases="$clients"
        [ $server = atftpd ] && cases="$cases atftp-w16"
        for c in $cases; do
          read -r s n < <(through $loss $server $c)
          t[$loss/$server/$c]+="$s "
          r[$loss/$server/$c]+="$n "
        done
      done
    done
    echo "relay run $run done (load $(load))" >&2
  done
  med() { tr ' ' '\n' <<<"$1" | grep -v '^$' | grep -v FAIL | median; }
  fails() { tr ' ' '\n' <<<"$1" | grep -c FAIL; }
  emit ""
  emit "### Through the relay, 500 us each way (4 MiB at 1024; relay on CPU 1, client and atftpd on CPU 0)"
  emit ""
  emit "Seconds (median; failed runs of $runs in brackets), the ratio to the same client's loss-free"
  emit "throughput, the blocks sent again (median), and the goal."
  emit ""
  emit "| server | client | 0 % s | 1 % s | 1 % ratio | resent | 5 % s | 5 % ratio | resent | goal | load |"
  emit "|---|---|---:|---:|---:|---:|---:|---:|---:|---|---:|"
  for server in atftpd sim; do
    cases="$clients"
    [ $server = atftpd ] && cases="$cases atftp-w16"
    for c in $cases; do
      base=$(med "${t[0/$server/$c]}")
      row="| $server | $c | $base"
      g1="" g5=""
      case $c in
        tftpput-w1) g1=0.8 ;; tftpput-w8) g1=0.7 g5=0.35 ;; tftpput-w64) g1=0.6 ;;
      esac
      goals=""
      for loss in 0.01 0.05; do
        s=$(med "${t[$loss/$server/$c]}")
        f=$(fails "${t[$loss/$server/$c]}")
        q=$(ratio "$base" "$s")
        n=$(tr ' ' '\n' <<<"${r[$loss/$server/$c]}" | grep -E '^[0-9]+$' | median)
        row="$row | $s$([ "$f" -gt 0 ] && echo " ($f)") | $q | $n"
        goal=$([ "$loss" = 0.01 ] && echo "$g1" || echo "$g5")
        [ -n "$goal" ] && goals="$goals$([ -n "$goals" ] && echo ", ")$([ "$loss" = 0.01 ] && echo 1 || echo 5) %: >= $goal $(verdict "$q" ">=" "$goal")"
      done
      emit "$row | ${goals:--} | $(load) |"
    done
  done
  emit ""
  for loss in 0 0.01 0.05; do
    a=$(med "${t[$loss/atftpd/atftp-w16]}") b=$(med "${t[$loss/atftpd/tftpput-w16]}")
    emit "- $(awk -v l=$loss 'BEGIN { print l * 100 }') % loss, window 16 to atftpd: tftpput ${b} s, atftp ${a} s; tftpput ahead: $(awk -v a="$a" -v b="$b" 'BEGIN { if (b == "nan") print "no (tftpput failed)"; else if (a == "nan" || b < a) print "yes"; else print "no" }')"
  done
fi

if [[ " $parts " == *" tbf "* ]]; then
  tc qdisc add dev lo root tbf rate 100mbit burst 16kb limit 24kb
  # The link's time for the payload alone: 16 MiB at 100 Mbit/s.
  link=$(awk 'BEGIN { printf "%.3f", 16 * 1048576 * 8 / 100e6 }')
  declare -A tt=() tr=()
  for run in $(seq "$runs"); do
    for c in tftpput-w8 tftpput-w16 tftpput-w64; do
      : >res.txt
      upload $c 127.0.0.4 6904 1468 img16
      read -r s n <res.txt
      tt[$c]+="$s "
      tr[$c]+="$n "
    done
    echo "tbf run $run done (load $(load))" >&2
  done
  drops=$(tc -s qdisc show dev lo | grep -Eo 'dropped [0-9]+' | grep -Eo '[0-9]+' | head -1)
  tc qdisc del dev lo root
  blocks=$((16 * 1048576 / 1468 + 1))
  emit ""
  emit "### Behind tbf, 100 Mbit/s with a queue of 16 datagrams (16 MiB at 1468 to atftpd, $blocks blocks)"
  emit ""
  emit "The link carries the payload in $link s. Goal: at least 0.9x the link's rate, at most 10 % of"
  emit "the blocks sent again. $drops datagrams dropped at the queue over the runs."
  emit ""
  emit "| client | s (median) | of the link's rate | blocks sent again | share | goal | load |"
  emit "|---|---:|---:|---:|---:|---|---:|"
  for c in tftpput-w8 tftpput-w16 tftpput-w64; do
    s=$(tr ' ' '\n' <<<"${tt[$c]}" | grep -v '^$' | grep -v FAIL | median)
    f=$(tr ' ' '\n' <<<"${tt[$c]}" | grep -c FAIL)
    n=$(tr ' ' '\n' <<<"${tr[$c]}" | grep -E '^[0-9]+$' | median)
    q=$(ratio "$link" "$s")
    share=$(awk -v n="$n" -v b=$blocks 'BEGIN { if (n == "nan" || n == "") print "-"; else printf "%.1f %%", 100 * n / b }')
    ok=$(verdict "$q" ">=" 0.9)
    [ "$ok" = met ] && ok=$(awk -v n="$n" -v b=$blocks 'BEGIN { print (n != "nan" && n / b <= 0.1) ? "met" : "missed" }')
    emit "| $c | $s$([ "$f" -gt 0 ] && echo " ($f failed)") | $q | ${n:--} | $share | $ok | $(load) |"
  done
fi

# beside PART PORT FILE CLIENT...: each run, every client uploads FILE at 1024 to the plain
# simulated device (6905) and to the PART's device at PORT, in turn; seconds and blocks sent
# again go to bt[CLIENT/PORT] and br[CLIENT/PORT].
beside() {
  local part=$1 other=$2 f=$3 run c port s n host
  shift 3
  declare -gA bt=() br=()
  for run in $(seq "$runs"); do
    for c in "$@"; do
      for port in 6905 "$other"; do
        case $port in 6905) host=127.0.0.2 ;; 6906) host=127.0.0.3 ;; *) host=127.0.0.4 ;; esac
        : >res.txt
        upload "$c" $host "$port" 1024 "$f"
        read -r s n <res.txt
        bt[$c/$port]+="$s "
        br[$c/$port]+="$n "
      done
    done
    echo "$part run $run done (load $(load))" >&2
  done
}

if [[ " $parts " == *" pause "* ]]; then
  beside pause 6906 img4 tftpput-w8 tftpput-w16
  blocks=$((4 * 1048576 / 1024 + 1)) pauses=$((4 * 1048576 / 1024 / 64))
  emit ""
  emit "### A device pausing 300 ms every 64 blocks (4 MiB at 1024, $blocks blocks, $pauses pauses; no loss)"
  emit ""
  emit "Goal: the time within 1.1x of the pauses ($(awk -v p=$pauses 'BEGIN { printf "%.1f", p * 0.3 }') s) plus the loss-free time,"
  emit "at most 10 % of the blocks sent again."
  emit ""
  emit "| client | loss-free s | pausing s | over pauses + loss-free | blocks sent again | share | goal | load |"
  emit "|---|---:|---:|---:|---:|---:|---|---:|"
  for c in tftpput-w8 tftpput-w16; do
    a=$(tr ' ' '\n' <<<"${bt[$c/6905]}" | grep -v '^$' | grep -v FAIL | median)
    b=$(tr ' ' '\n' <<<"${bt[$c/6906]}" | grep -v '^$' | grep -v FAIL | median)
    n=$(tr ' ' '\n' <<<"${br[$c/6906]}" | grep -E '^[0-9]+$' | median)
    q=$(awk -v a="$a" -v b="$b" -v p=$pauses 'BEGIN { printf "%.3f", b / (a + p * 0.3) }')
    share=$(awk -v n="$n" -v b=$blocks 'BEGIN { printf "%.1f", 100 * n / b }')
    ok=$(awk -v q="$q" -v s="$share" 'BEGIN { print (q <= 1.1 && s <= 10) ? "met" : "missed" }')
    emit "| $c | $a | $b | $q | $n | $share % | $ok | $(load) |"
  done
fi

if [[ " $parts " == *" buffer "* ]]; then
  beside buffer 6907 img16 tftpput-w16 tftpput-w64
  blocks=$((16 * 1048576 / 1024 + 1))
  emit ""
  emit "### A device with a receive buffer of 16 KiB (16 MiB at 1024, $blocks blocks; no loss)"
  emit ""
  emit "A window larger than the buffer loses its end at the same depth each time: the window"
  emit "control's case on a device rather than a switch. No goal was set; the time against the same"
  emit "device with the system's buffer, and the share of blocks sent again."
  emit ""
  emit "| client | system's buffer s | 16 KiB s | ratio | blocks sent again | share | load |"
  emit "|---|---:|---:|---:|---:|---:|---:|"
  for c in tftpput-w16 tftpput-w64; do
    a=$(tr ' ' '\n' <<<"${bt[$c/6905]}" | grep -v '^$' | grep -v FAIL | median)
    b=$(tr ' ' '\n' <<<"${bt[$c/6907]}" | grep -v '^$' | grep -v FAIL | median)
    n=$(tr ' ' '\n' <<<"${br[$c/6907]}" | grep -E '^[0-9]+$' | median)
    share=$(awk -v n="$n" -v b=$blocks 'BEGIN { printf "%.1f", 100 * n / b }')
    emit "| $c | $a | $b | $(ratio "$b" "$a") | $n | $share % | $(load) |"
  done
fi

[ -z "$doc" ] || echo "$out" >"$doc"
