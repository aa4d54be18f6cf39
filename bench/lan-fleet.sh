#!/bin/bash
# A fleet on a LAN in a box (scripts/lan-box): 64 simulated devices, each in a namespace of its
# own behind a veth pair on one bridge, take a 4 MiB image from `ftpupg-cli upgrade --jobs 32
# --wait-back 60`. Each device keeps answering 1-3 s after its image (it writes its flash),
# then restarts for 2 s. Runs:
#   restart   every device as above: all must be done and back, none back before its restart;
#   faults    the same, but one device never restarts and one comes back as another board:
#             exactly those two fail, by name and reason;
#   canary    --canary 2 with the board-changing device as the second canary: no other device
#             is touched;
#   blksize   tftpput at block sizes 512, 1024, 1468 and 8192 (fragmented) to one device whose
#             link runs at 100 Mbit/s with a short queue (tc tbf).
# usage: bench/lan-fleet.sh BUILD_DIR [--doc FILE]   (needs root)
set -u
bench_lan=64 . "$(dirname "$0")/bench-lib.sh" "$@"
doc=""
bench_args 14 doc -- "$@"
bench_need "$cli" "$simdev" "$tftpput"
bench_workdir lan-fleet
bench_lan_fleet
head -c $((4 << 20)) /dev/urandom >"$work/image.bin"
never=${ips[20]} other=${ips[41]}

# start [OPTIONS-FOR-IP...]: every device, its delay 1-3 s from a fixed seed; a device's own
# extra options come from the function `extra IP`.
start_devices() {
  local i=0 ip
  rm -rf "$work/slots" "$work"/dev-*.log
  mkdir "$work/slots"
  : >"$work/delays"
  for ip in "${ips[@]}"; do
    local delay=$((1000 + (i * 7919) % 2001))
    echo "$ip $delay" >>"$work/delays"
    # shellcheck disable=SC2046
    bench_lan_device "$ip" --restart-delay-ms "$delay" $(extra "$ip")
    i=$((i + 1))
  done
  bench_lan_await "${ips[@]}" || exit 1
}

# run NAME ARGS...: one upgrade, timed, its processes' memory sampled.
run() {
  local name=$1
  shift
  local t0 t1
  t0=$(date +%s%N)
  "$cli" upgrade --image "$work/image.bin" "$@" --json "$work/$name.json" >"$work/$name.out" 2>&1 &
  local pid=$!
  bench_sample_pss "$pid" 0.2 >"$work/$name.pss" &
  local sampler=$!
  wait "$pid"
  echo $? >"$work/$name.code"
  t1=$(date +%s%N)
  wait "$sampler"
  awk -v ns=$((t1 - t0)) 'BEGIN { printf "%.1f", ns / 1e9 }' >"$work/$name.wall"
}

# The largest resident set of any one simulated device so far (KiB); `ip netns exec` became it.
device_peak() {
  local worst=0 kb pid
  for pid in "${bench_pids[@]}"; do
    kb=$(awk '/^VmHWM:/ { print $2 }' "/proc/$pid/status" 2>/dev/null)
    [ "${kb:-0}" -gt "$worst" ] && worst=$kb
  done
  echo "$worst"
}

judge() {
  python3 - "$work/$1.json" "$work/delays" "$work/slots" "$work/image.bin" "$1" "$never" "$other" <<'EOF'
import filecmp, json, os, sys
report, delays, slots, image, name, never, other = sys.argv[1:]
r = json.load(open(report))
delay = {ip: int(ms) / 1000 for ip, ms in (line.split() for line in open(delays))}
by = {d["ip"]: d for d in r["devices"]}
early = [ip for ip, d in by.items() if d["wait_back"] and d["wait_back"]["came_back"]
         and d["wait_back"]["seconds"] < delay[ip] + 2.0 - 0.1]
intact = sum(os.path.exists(f"{slots}/{ip}.bin") and filecmp.cmp(image, f"{slots}/{ip}.bin", shallow=False)
             for ip in by)
back = [d["wait_back"]["seconds"] for d in by.values() if d["wait_back"] and d["wait_back"]["came_back"]]
failed = sorted((ip, d["result"]) for ip, d in by.items() if d["result"] != "done" or
                not (d["wait_back"] or {}).get("came_back", False))
s = r["summary"]
print(f"{s['done'] - s['not_back']}|{intact}|{len(early)}|{min(back):.1f}-{max(back):.1f} s|"
      + (", ".join(f"{ip} {res}" for ip, res in failed if res != "skipped") or "none")
      + f"|{s['skipped']}")
ok = {"restart": not failed and not early and intact == len(by),
      "faults": failed == sorted([(never, "not-restarted"), (other, "address-changed")]) and not early,
      "canary": s["skipped"] == len(by) - 2 and by[other]["result"] == "address-changed"}[name]
if not ok:
    print("FAILED", file=sys.stderr)
    sys.exit(1)
EOF
}

row() {
  local name=$1 what=$2 judged
  judged=$(judge "$name") || failures=$((failures + 1))
  IFS='|' read -r done intact early backs failed skipped <<<"$judged"
  rows+="| $what | $(cat "$work/$name.code") | $done of ${#ips[@]} | $intact | $early | $backs | $failed | $skipped | $(cat "$work/$name.wall") | $(awk -v k="$(cat "$work/$name.pss")" 'BEGIN { printf "%.1f", k / 1024 }') MiB | $(awk -v k="$(device_peak)" 'BEGIN { printf "%.1f", k / 1024 }') MiB |"$'\n'
  echo "$name: done"
}

failures=0 rows=""
extra() { echo "--restart-ms 2000"; }
start_devices
run restart --all --jobs 32 --wait-back 60
row restart "64 devices, each restarting"
bench_stop_devices

extra() {
  case $1 in
    "$never") echo "" ;;
    "$other") echo "--restart-ms 2000 --restart-mac 02:00:00:00:99:99" ;;
    *) echo "--restart-ms 2000" ;;
  esac
}
start_devices
run faults --all --jobs 32 --wait-back 60
row faults "one never restarts ($never), one comes back as another board ($other)"
bench_stop_devices

start_devices
{ echo "${ips[0]}"; echo "$other"; for ip in "${ips[@]}"; do [ "$ip" = "$other" ] || [ "$ip" = "${ips[0]}" ] || echo "$ip"; done; } \
  >"$work/canary.txt"
run canary --ips "$work/canary.txt" --canary 2 --jobs 32 --wait-back 60
touched=$(grep -l "password request [0-9]*: accepted" "$work"/dev-*.log | grep -vc -e "dev-${ips[0]}.log" -e "dev-$other.log")
row canary "--canary 2, the second canary comes back as another board"
bench_stop_devices

table=$(
  echo "| run | exit | done and back | images intact | back before its restart | back after (min-max) | failed (result) | skipped | wall s | peak memory, all ftpupg-cli processes (sum of PSS) | largest simulated device (VmHWM) |"
  echo "|---|---:|---:|---:|---:|---|---|---:|---:|---:|---:|"
  printf "%s" "$rows"
  echo
  echo "Devices other than the two canaries that saw a password request in the canary run: $touched."
)

# Block sizes on a 100 Mbit/s link with a short queue: one device, tftpput, 4 MiB.
ip=${ips[0]}
"$LAN_BOX" rate "$ip" 100mbit
extra() { echo ""; }
ips=("$ip")
start_devices
sizes=""
for size in 512 1024 1468 8192; do
  rm -f "$work/slots/$ip.bin"
  t0=$(date +%s%N)
  "$tftpput" -q --json -b "$size" "$ip" "$work/image.bin" / >"$work/b$size.json" 2>&1
  code=$?
  t1=$(date +%s%N)
  same=$(cmp -s "$work/image.bin" "$work/slots/$ip.bin" && echo yes || echo NO)
  [ "$same" = yes ] && [ $code = 0 ] || failures=$((failures + 1))
  sizes+="| $size | $code | $same | $(awk -v ns=$((t1 - t0)) 'BEGIN { printf "%.2f", ns / 1e9 }') | $(python3 -c 'import json,sys; print(json.load(open(sys.argv[1])).get("retransmissions", "-"))' "$work/b$size.json" 2>/dev/null || echo -) |"$'\n'
done
bench_stop_devices
table+=$'\n\n'$(
  echo "| block size | exit | image intact | wall s (4 MiB, tftpput) | retransmissions |"
  echo "|---:|---:|---|---:|---:|"
  printf "%s" "$sizes"
)
echo "$table"
[ -z "$doc" ] || echo "$table" >"$doc"
[ "$failures" -eq 0 ]
