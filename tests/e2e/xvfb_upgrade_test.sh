#!/bin/bash
# The real binary on a real X server, driven like an operator with xdotool: type the password,
# click "GO", wait for the finished state, and check the device got the image intact.
# Runs inside a private network namespace. FTPUPG_SCREENSHOT=FILE keeps the finished window.
# Inside a LAN in a box (scripts/lan-box sets LAN_BOX) the device is the LAN's first, in its own
# namespace, and the window clears the neighbour entry with the real command: an entry planted
# with a hardware address nobody has must be deleted, or the image would go nowhere.
set -euo pipefail
ftpupg=$1
simdev=$2
. "$(dirname "$0")/../xvfb-lib.sh"
xvfb_test_work
start_xvfb

cd "$work"
head -c $((512 * 1024 + 99)) /dev/urandom > fw.bin
ip=127.0.0.2
device_run=() device_args=()
if [ -n "${LAN_BOX:-}" ]; then
  ip=${LAN_DEVICES%% *}
  device_run=("$LAN_BOX" exec "$ip")
  device_args=(--listen "$LAN_BROADCAST" --mac "$("$LAN_BOX" mac "$ip")")
  ip neigh replace "$ip" lladdr 02:de:ad:00:00:01 dev eth0 nud reachable
  ip monitor neigh >"$work/neigh.log" 2>&1 &
  monitor=$!
else
  export NDXL_BROADCAST=127.255.255.255 FTPUPG_ARP_COMMAND=true
fi
printf '[Data]\nIP=%s\nPath1=fw.bin\nVer=Ver. 1.4.0\n' "$ip" > FTPUPG.ini
printf 'Type the password and press GO.\n' > note1.txt
printf 'The firmware has been written.\nPress OK to close.\n' > note2.txt
"${device_run[@]}" "$simdev" --bind "$ip" "${device_args[@]}" --password s3cret --tftp-slot "$work/received.bin" \
  2>"$work/device.log" &
device=$!
export XDG_RUNTIME_DIR=$work QT_QPA_PLATFORM=xcb
"$ftpupg" 2>"$work/app.log" &
app=$!

find_window "$work/app.log"
eval "$(xdotool getwindowgeometry --shell "$id")"

# Click into the password box (72,224 in the window), type, then press "GO" (32,256 65x25).
# The utility takes these events in their order: no pause is needed between them.
cancel_face=$(pixel $((X + 180)) $((Y + 268)))
xdotool mousemove $((X + 130)) $((Y + 234)) click 1
xdotool type --delay 30 s3cret
xdotool mousemove $((X + 64)) $((Y + 268)) click 1

# Finished: "Cancel" (120,256 75x25) is hidden; at 180,268 it is not covered by "OK".
wait_pixel_not $((X + 180)) $((Y + 268)) "$cancel_face" || { cat "$work/app.log" "$work/device.log"; exit 1; }
import -window root "$work/screen.png"
[ -z "${FTPUPG_SCREENSHOT:-}" ] || convert "$work/screen.png" -crop "434x292+$X+$Y" +repage "$FTPUPG_SCREENSHOT"

fail=0
if cmp fw.bin received.bin; then echo "ok: the device received the image intact"; else echo "FAIL: image differs"; ls -l "$work"; fail=1; fi
grep -q '^\[WDCP\]' "$work/app.log" && { echo "FAIL: the password was refused"; fail=1; }
if [ -n "${monitor:-}" ]; then
  kill "$monitor"
  # The command runs detached, as the window always started it: the device's own ARP request
  # (it answers discovery) may have replaced the planted entry first.
  grep -q "^Deleted $ip dev eth0" "$work/neigh.log" &&
    echo "ok: the planted neighbour entry was cleared" || { echo "FAIL: the planted entry was not cleared"; cat "$work/neigh.log"; fail=1; }
fi
# Finished: "OK" at 72,256 (75x25) closes the utility.
xdotool mousemove $((X + 109)) $((Y + 268)) click 1
running() { [ -n "$(ps -o stat= -p "$1" 2>/dev/null | grep -v Z)" ]; }
for _ in $(seq 600); do running "$app" || break; sleep 0.1; done
if running "$app"; then echo "FAIL: OK did not end the utility"; fail=1
else wait "$app"; code=$?; app=""; [ "$code" = 0 ] && echo "ok: OK ended the utility with 0" || { echo "FAIL: exit $code"; fail=1; }; fi
[ $fail = 0 ] || { echo "--- app log"; cat "$work/app.log"; echo "--- device log"; cat "$work/device.log"; }
exit $fail
