#!/bin/bash
# Windowed TFTP upload benchmark, every figure a ratio measured side by side in one run,
# inside a private loopback-only namespace:
#   peer     against atftpd (which knows the window), client and server pinned to CPU 0:
#            tftpput -w 16 next to `atftp --option "windowsize 16"`, and tftpput -w 1 next
#            to the lock-step floor (bench/tftp_floor.c), 16 and 64 MiB at 1024 and 1468
#   calls    system calls per block at window 16 (strace -c -f), next to lock-step and the floor
#   relay    through ftpupg-lossy-relay holding every datagram 200 us each way (a LAN's round
#            trip): tftpput -w 16 next to -w 1
#   fleet    ftpupg-cli writing one image to 32 simulated devices that wait 1 ms before every
#            ACK: the default window and --windowsize 16 next to --windowsize 1
# The cases take turns within each run, so that load from elsewhere falls on all alike; the
# 1-minute load average is written beside every figure.
# usage: bench/window-bench.sh BUILD_DIR [--runs N] [--parts "peer calls relay fleet"] [--doc FILE]
#   Needs real root (atftpd drops privileges) and atftpd under .deps (scripts/setup.sh).
set -u
. "$(dirname "$0")/bench-lib.sh" "$@"
runs=5 parts="peer calls relay fleet" doc=""
bench_args 16,17 runs parts doc -- "$@"
atftpd=${FTPUPG_ATFTPD:-$root/.deps/atftpd/usr/sbin/atftpd}
bench_need "$tftpput" "$floor" "$rusage" "$relay" "$cli" "$simdev" "$atftpd" atftp strace

bench_workdir window-bench
chmod 755 "$work"
mkdir "$work/srv" && chmod 777 "$work/srv"
cd "$work"

load() { cut -d' ' -f1 /proc/loadavg; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.3f", a / b; else print "-" }'; }
# verdict VALUE OP GOAL: "met" or "missed"
verdict() { awk -v v="$1" -v g="$3" -v op="$2" 'BEGIN { ok = (op == "<=") ? v <= g : v >= g; print ok ? "met" : "missed" }'; }

taskset -c 0 "$atftpd" --daemon --no-fork --port 6904 --bind-address 127.0.0.4 --logfile "$work/atftpd.log" \
  "$work/srv" &
bench_pids+=($!)
for _ in $(seq 200); do ss -Hlun 'sport = :6904' | grep -q . && break; sleep 0.05; done

# One upload to atftpd, on CPU 0 unless told: prints its wall-clock seconds, or FAIL.
upload() {  # upload CLIENT BLKSIZE FILE [PORT HOST]
  local client=$1 bs=$2 f=$3 port=${4:-6904} host=${5:-127.0.0.4} name=up-$1-$2
  rm -f "srv/$name"
  local cmd
  case $client in
    floor) cmd=("$floor" "$host" "$port" "$bs" "$f" "$name") ;;
    tftpput-w*) cmd=("$tftpput" -q -p "$port" -b "$bs" -w "${client#tftpput-w}" "$host" "$f" "$name") ;;
    atftp-w*) cmd=(atftp --option "blksize $bs" --option "windowsize ${client#atftp-w}" -p -l "$f" -r "$name" "$host" "$port") ;;
  esac
  if ! taskset -c 0 "$rusage" -o time.txt "${cmd[@]}" >/dev/null 2>err.txt; then
    echo FAIL; return
  fi
  cmp -s "$f" "srv/$name" || { echo "differs on arrival" >err.txt; echo FAIL; return; }
  awk '{ printf "%.6f\n", $1 / 1e6 }' time.txt
  awk '{ printf "%.6f\n", ($2 + $3) / 1e6 }' time.txt >cpu.txt # the client's user + system time
}

out=""
emit() { out+="$1"$'\n'; echo "$1"; }

facts="$(date -u '+%Y-%m-%d %H:%M UTC'); $(nproc) CPUs, $(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -1);
kernel $(uname -r); atftpd $("$atftpd" -V 2>&1 | head -1 | cut -d' ' -f1); atftp $(atftp -V 2>&1 | head -1 | cut -d' ' -f1);
median of $runs runs, cases taking turns within each run; load = 1-minute load average when the row was done."
emit "$facts"
emit ""

for part in $parts; do
  case $part in
  peer)
    emit "### Against atftpd (client and atftpd pinned to CPU 0)"
    emit ""
    emit "| MiB | blksize | tftpput -w 16 ms | atftp windowsize 16 ms | ratio (goal <= 0.9) | client CPU ms, tftpput / atftp | tftpput -w 1 ms | floor ms | ratio (goal <= 1.03) | load |"
    emit "|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
    for mib in 16 64; do
      head -c $((mib * 1048576)) /dev/urandom >f$mib
      for bs in 1024 1468; do
        declare -A t=() cpu=()
        for _ in $(seq "$runs"); do
          for c in tftpput-w16 atftp-w16 tftpput-w1 floor; do
            r=$(upload $c $bs f$mib)
            [ "$r" = FAIL ] && { echo "upload failed: $c $bs $mib MiB: $(cat err.txt)" >&2; exit 1; }
            t[$c]+="$r "
            cpu[$c]+="$(cat cpu.txt) "
          done
        done
        for c in tftpput-w16 atftp-w16 tftpput-w1 floor; do
          t[$c]=$(tr ' ' '\n' <<<"${t[$c]% }" | median)
          cpu[$c]=$(tr ' ' '\n' <<<"${cpu[$c]% }" | median)
        done
        w=$(ratio "${t[tftpput-w16]}" "${t[atftp-w16]}") l=$(ratio "${t[tftpput-w1]}" "${t[floor]}")
        emit "$(printf "| %s | %s | %.1f | %.1f | %s %s | %.0f / %.0f | %.1f | %.1f | %s %s | %s |" "$mib" "$bs" \
          "$(awk -v s="${t[tftpput-w16]}" 'BEGIN { print s * 1000 }')" "$(awk -v s="${t[atftp-w16]}" 'BEGIN { print s * 1000 }')" \
          "$w" "$(verdict "$w" "<=" 0.9)" \
          "$(awk -v s="${cpu[tftpput-w16]}" 'BEGIN { print s * 1000 }')" "$(awk -v s="${cpu[atftp-w16]}" 'BEGIN { print s * 1000 }')" \
          "$(awk -v s="${t[tftpput-w1]}" 'BEGIN { print s * 1000 }')" "$(awk -v s="${t[floor]}" 'BEGIN { print s * 1000 }')" \
          "$l" "$(verdict "$l" "<=" 1.03)" "$(load)")"
        unset t cpu
      done
      rm -f f$mib
    done
    emit ""
    ;;

  calls)
    emit "### System calls per block (strace -c -f, 16 MiB at 1024 to atftpd: 16385 blocks)"
    emit ""
    emit "| client | calls | per block | goal | largest counts | load |"
    emit "|---|---:|---:|---|---|---:|"
    head -c $((16 * 1048576)) /dev/urandom >f16
    blocks=16385
    for c in tftpput-w16 tftpput-w1 floor; do
      rm -f srv/sc
      case $c in
        floor) cmd=("$floor" 127.0.0.4 6904 1024 f16 sc) ;;
        *) cmd=("$tftpput" -q -p 6904 -b 1024 -w "${c#tftpput-w}" 127.0.0.4 f16 sc) ;;
      esac
      strace -c -f -o strace.txt "${cmd[@]}" >/dev/null 2>err.txt || { echo "$c under strace failed: $(cat err.txt)" >&2; exit 1; }
      cmp -s f16 srv/sc || { echo "$c under strace: image differs" >&2; exit 1; }
      # Columns: % time, seconds, usecs/call, calls, [errors], name.
      total=$(awk '$NF == "total" { print $4 }' strace.txt)
      top=$(awk '/^ *[0-9]/ && $NF != "total" { print $4, $NF }' strace.txt |
        sort -rn | head -3 | awk '{ printf "%s%s %s", (NR > 1 ? ", " : ""), $2, $1 }')
      per=$(awk -v a="$total" -v b=$blocks 'BEGIN { printf "%.3f", a / b }')
      goal="-"; [ $c = tftpput-w16 ] && goal="<= 0.3: $(verdict "$per" "<=" 0.3)"
      emit "| $c | $total | $per | $goal | $top | $(load) |"
    done
    rm -f f16
    emit ""
    ;;

  relay)
    emit "### Through the relay, 200 us each way (4 MiB at 1024 to atftpd; relay on CPU 1, client and atftpd on CPU 0)"
    emit ""
    taskset -c 1 "$relay" -l 127.0.0.1:0 --port-file relay.port -s 127.0.0.4:6904 --latency-us 200 -q 2>relay.log &
    bench_pids+=($!)
    for _ in $(seq 200); do [ -s relay.port ] && break; sleep 0.05; done
    rport=$(cat relay.port)
    head -c $((4 * 1048576)) /dev/urandom >f4
    declare -A t=()
    for _ in $(seq "$runs"); do
      for c in tftpput-w16 tftpput-w1; do
        r=$(upload $c 1024 f4 "$rport" 127.0.0.1)
        [ "$r" = FAIL ] && { echo "upload through the relay failed: $c: $(cat err.txt)" >&2; exit 1; }
        t[$c]+="$r "
      done
    done
    for c in tftpput-w16 tftpput-w1; do t[$c]=$(tr ' ' '\n' <<<"${t[$c]% }" | median); done
    x=$(ratio "${t[tftpput-w1]}" "${t[tftpput-w16]}")
    emit "| client | ms | MiB/s | time per block | load |"
    emit "|---|---:|---:|---:|---:|"
    for c in tftpput-w1 tftpput-w16; do
      emit "$(awk -v s="${t[$c]}" -v c=$c -v l="$(load)" 'BEGIN { printf "| %s | %.1f | %.2f | %.1f us | %s |", c, s * 1000, 4 / s, s * 1e6 / 4097, l }')"
    done
    emit ""
    emit "Window 16 over lock-step: ${x}x the throughput (goal >= 8: $(verdict "$x" ">=" 8))."
    emit ""
    rm -f f4
    unset t
    ;;

  fleet)
    devices=32
    emit "### Fleet: ftpupg-cli, $devices simulated devices waiting 1 ms before every ACK (4 MiB image, --jobs $devices; devices on CPU 1, ftpupg-cli on CPU 0)"
    emit ""
    mkdir -p slots
    head -c $((4 * 1048576)) /dev/urandom >image.bin
    taskset -c 1 "$simdev" --count $devices --bind 127.0.0.10 --password bench --tftp-slot-dir slots \
      --ack-delay-ms 1 2>sim.log &
    bench_pids+=($!)
    for _ in $(seq 200); do [ "$(grep -c listening sim.log)" -ge $devices ] && break; sleep 0.05; done
    seq 10 $((10 + devices - 1)) | sed 's/^/127.0.0./' >fleet.txt
    fleet() {  # fleet [OPTION]...: prints wall seconds, or FAIL
      rm -f slots/*
      local t0 t1
      t0=$(date +%s%N)
      NDXL_BROADCAST=127.255.255.255 FTPUPG_ARP_COMMAND=/bin/true FTPUPG_PASSWORD=bench \
        taskset -c 0 "$cli" upgrade --image image.bin --ips fleet.txt --jobs $devices "$@" >cli.txt 2>&1 ||
        { echo FAIL; return; }
      t1=$(date +%s%N)
      for f in slots/*.bin; do cmp -s image.bin "$f" || { echo FAIL; return; }; done
      [ "$(ls slots | wc -l)" -eq $devices ] || { echo FAIL; return; }
      awk -v ns=$((t1 - t0)) 'BEGIN { printf "%.3f\n", ns / 1e9 }'
    }
    declare -A t=()
    for _ in $(seq "$runs"); do
      for c in default w16 w1; do
        case $c in
          default) r=$(fleet) ;;
          w16) r=$(fleet --windowsize 16) ;;
          w1) r=$(fleet --windowsize 1) ;;
        esac
        [ "$r" = FAIL ] && { echo "fleet $c failed:" >&2; cat cli.txt >&2; exit 1; }
        t[$c]+="$r "
      done
    done
    for c in default w16 w1; do t[$c]=$(tr ' ' '\n' <<<"${t[$c]% }" | median); done
    x8=$(ratio "${t[w1]}" "${t[default]}") x16=$(ratio "${t[w1]}" "${t[w16]}")
    emit "| case | wall s | over --windowsize 1 (goal >= 4) | load |"
    emit "|---|---:|---:|---:|"
    emit "| default window (8) | ${t[default]} | ${x8} $(verdict "$x8" ">=" 4) | $(load) |"
    emit "| --windowsize 16 | ${t[w16]} | ${x16} $(verdict "$x16" ">=" 4) | $(load) |"
    emit "| --windowsize 1 | ${t[w1]} | 1 | $(load) |"
    emit ""
    unset t
    ;;
  *) echo "unknown part $part" >&2; exit 2 ;;
  esac
done

if [ -n "$doc" ]; then
  {
    echo "# Windowed TFTP upload benchmark"
    echo
    echo "Made with \`bench/window-bench.sh BUILD_DIR --doc docs/bench-tftp-window.md\` (needs root and"
    echo "atftpd, which scripts/setup.sh unpacks under .deps/). Every upload is compared with the original"
    echo "on arrival; times are wall-clock per upload (bench/rusage_run.c), medians; the floor is"
    echo "bench/tftp_floor.c, the least a lock-step client can do. The lock-step figures of"
    echo "[bench-tftp.md](bench-tftp.md) are against in.tftpd, which knows no window."
    echo
    echo "$out"
  } >"$doc"
fi
