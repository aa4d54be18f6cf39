# shellcheck shell=bash
# Shared by the benchmark scripts: source it right after `set -u`, as
#   . "$(dirname "$0")/bench-lib.sh" "$@"
# It re-runs the calling script inside a private loopback-only namespace (nothing it sends
# can leave the machine) and sets `root` to the checkout. A script whose devices each need a
# namespace of their own sources it as `bench_lan=N . ...` instead: it re-runs inside a LAN in
# a box of N devices (scripts/lan-box), which is just as closed. With FTPUPG_BENCH_IN_NS set
# it re-runs nothing (the caller already is where it should be).
root=$(cd "$(dirname "$0")/.." && pwd)
if [ -n "${bench_lan:-}" ]; then
  [ -n "${LAN_BOX:-}" ] || exec "$root/scripts/lan-box" run --devices "$bench_lan" -- bash "$0" "$@"
elif [ -z "${FTPUPG_BENCH_IN_NS:-}" ]; then
  FTPUPG_BENCH_IN_NS=1 exec "$root/scripts/netns-run" env FTPUPG_BENCH_IN_NS=1 bash "$0" "$@"
fi

# ---- The command line ------------------------------------------------------------------------

# bench_args USAGE OPTION... -- ARGUMENT...: the build folder (the first argument) and the
# options --OPTION VALUE. Each option sets the variable of its name (dashes read as
# underscores), whose default the script sets first; --doc's file is made absolute. Sets
# `build` and the paths of the programs in it (cli, simdev, tftpput, relay, simtftpd, floor,
# rusage); bench_need checks the ones a script runs. Without a build folder it prints lines
# USAGE of the script (a sed range such as 6,7) and exits 2, as it does for an unknown option.
bench_args() {
  local usage=$1 known=" " option
  shift
  while [ "$1" != -- ]; do
    known+="$1 "
    shift
  done
  shift
  [ $# -ge 1 ] || { sed -n "${usage}p" "$0" >&2; exit 2; }
  build=$(realpath "$1")
  shift
  while [ $# -gt 0 ]; do
    option=${1#--}
    if [[ $1 != --* || $known != *" $option "* ]]; then
      echo "unknown option $1" >&2
      exit 2
    fi
    [ $# -ge 2 ] || { echo "$1 needs a value" >&2; exit 2; }
    option=${option//-/_}
    if [ "$option" = doc ]; then
      doc=$(realpath -m "$2")
    else
      printf -v "$option" '%s' "$2"
    fi
    shift 2
  done
  cli=$build/cli/ftpupg-cli simdev=$build/sim/ftpupg-simdev tftpput=$build/tftpput/tftpput
  relay=$build/sim/ftpupg-lossy-relay simtftpd=$build/sim/ftpupg-simtftpd
  floor=$build/bench/ftpupg-tftp-floor rusage=$build/bench/ftpupg-rusage
}

# bench_need PROGRAM...: ends the script, naming the first one that is missing.
bench_need() {
  local t
  for t in "$@"; do
    [ -x "$t" ] || command -v "$t" >/dev/null || { echo "missing $t (build it first; atftpd: scripts/setup.sh)" >&2; exit 1; }
  done
}

# ---- Set-up ------------------------------------------------------------------------------------

# The simulated devices' processes, ended by bench_stop_devices and at exit.
bench_pids=()
bench_stop_devices() {
  local pid
  for pid in "${bench_pids[@]}"; do kill "$pid" 2>/dev/null; done
  for pid in "${bench_pids[@]}"; do wait "$pid" 2>/dev/null; done
  bench_pids=()
}

# bench_workdir NAME: a fresh folder in `work`; at exit the devices end and it is removed.
bench_workdir() {
  work=$(mktemp -d "/tmp/ftpupg-$1.XXXXXX")
  trap 'bench_stop_devices; rm -rf "$work"' EXIT
}

# bench_await LOG COUNT [PATTERN]: waits until LOG holds COUNT lines matching PATTERN (default
# "listening", the simulated devices' ready line); says so and fails when they do not come.
bench_await() {
  local _ lines
  for _ in $(seq 1 400); do
    lines=$(grep -c "${3:-listening}" "$1" 2>/dev/null)
    [ "${lines:-0}" -ge "$2" ] && return 0
    sleep 0.05
  done
  echo "$1: the simulated devices did not start" >&2
  return 1
}

# Devices on loopback addresses: discovery broadcasts stay on 127.x, and there is no
# neighbour table to pin.
bench_loopback_fleet() {
  export NDXL_BROADCAST=127.255.255.255 FTPUPG_ARP_COMMAND=/bin/true
}

# Devices in a LAN in a box: the real broadcast and neighbour table, the password "bench", the
# devices' addresses in `ips`.
bench_lan_fleet() {
  unset NDXL_BROADCAST FTPUPG_ARP_COMMAND
  export FTPUPG_PASSWORD=bench
  read -r -a ips <<<"$LAN_DEVICES"
}

# bench_lan_device IP OPTION...: a simulated device in IP's namespace with the hardware address
# the box gives it and the password "bench"; its image goes to $work/slots/IP.bin, its log to
# $work/dev-IP.log.
bench_lan_device() {
  local ip=$1
  shift
  "$LAN_BOX" exec "$ip" "$simdev" --bind "$ip" --listen "$LAN_BROADCAST" --mac "$("$LAN_BOX" mac "$ip")" \
    --password bench --tftp-slot "$work/slots/$ip.bin" "$@" 2>"$work/dev-$ip.log" &
  bench_pids+=($!)
}

# bench_lan_await IP...: waits for each device's ready line.
bench_lan_await() {
  local ip
  for ip in "$@"; do bench_await "$work/dev-$ip.log" 1 || return 1; done
}

# ---- Figures -----------------------------------------------------------------------------------

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
