#!/bin/bash
# The demo: sets up and builds what is missing, then starts the utility against one simulated
# device on 127.0.0.2, all inside a private network namespace (nothing leaves this machine).
# Works for root and for a normal user (the namespace then lives in a user namespace, which
# also lets the simulated device take TFTP's port 69).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
password=${FTPUPG_DEMO_PASSWORD:-kr730}

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${FTPUPG_DEMO_HEADLESS:-}" ]; then
  echo "demo: no display: running on a virtual X server instead, where the password is typed" >&2
  echo "      and GO pressed for you; a screenshot of the finished window is kept." >&2
  export FTPUPG_DEMO_HEADLESS=1
fi

if [ "$(id -u)" = 0 ]; then
  "$root/scripts/setup.sh"
else
  "$root/scripts/setup.sh" || echo "demo: setup needs root for missing packages; going on" >&2
fi
"$root/scripts/build.sh" release >/dev/null

demo="$root/demo"
mkdir -p "$demo"
cd "$demo"
rm -f received.bin device.log
# Two firmware versions of the simulated KR730, with sizes that end in a short block.
[ -f kr730-1.4.0.bin ] || head -c $((3 * 1024 * 1024 + 777)) /dev/urandom > kr730-1.4.0.bin
[ -f kr730-1.3.9.bin ] || head -c $((2 * 1024 * 1024 + 55)) /dev/urandom > kr730-1.3.9.bin
cat > FTPUPG.ini <<INI
[Data]
IP=127.0.0.2
Title=KR730 - Firmware Upgrade
Path_no=2
Path1_ver=Ver. 1.4.0 (latest)
Path1=kr730-1.4.0.bin
Path2_ver=Ver. 1.3.9
Path2=kr730-1.3.9.bin
INI
cat > note1.txt <<NOTE
Demo: a simulated KR730 answers on 127.0.0.2.
1. Click the password box and type: $password
2. Pick a firmware version if you like.
3. Press GO and watch the progress bar.
Do not switch the device off during the upgrade.
NOTE
cat > note2.txt <<'NOTE'
The firmware has been written to the device.
The device restarts by itself; this takes about a minute.
Press OK to close this utility.
NOTE

cat <<EOF2
demo: folder        $demo
demo: device        127.0.0.2 (simulated), password "$password"
demo: images        kr730-1.4.0.bin, kr730-1.3.9.bin
demo: the device's log follows; close the window (OK or Cancel) to end the demo.
EOF2

export FTPUPG_DEMO_PASSWORD=$password FTPUPG_ROOT=$root
exec "$root/scripts/netns-run" bash -c '
  set -u
  build=$FTPUPG_ROOT/build
  "$build/sim/ftpupg-simdev" --bind 127.0.0.2 --password "$FTPUPG_DEMO_PASSWORD" --tftp-slot received.bin \
    2> >(tee device.log >&2) &
  device=$!
  trap "kill $device 2>/dev/null; wait $device 2>/dev/null" EXIT
  # The device answers once it says it listens (responder and TFTP server). Its log may not
  # exist yet: no count is none.
  ready=""
  for _ in $(seq 300); do
    listening=$(grep -cs "listening" device.log) || true
    [ "${listening:-0}" -ge 2 ] && { ready=1; break; }
    kill -0 $device 2>/dev/null || break
    sleep 0.1
  done
  [ -n "$ready" ] || { echo "demo: the simulated device did not start (device.log)." >&2; exit 1; }
  export NDXL_BROADCAST=127.255.255.255
  if [ -n "${FTPUPG_DEMO_HEADLESS:-}" ]; then
    # No desktop: a virtual X server, and xdotool plays the operator.
    . "$FTPUPG_ROOT/tests/xvfb-lib.sh"
    export XDG_RUNTIME_DIR=$PWD
    start_xvfb || exit 1
    "$build/app/ftpupg" 2>>ftpupg.log & app=$!
    find_window ftpupg.log || exit 1
    eval "$(xdotool getwindowgeometry --shell "$id")"
    cancel_face=$(pixel $((X + 180)) $((Y + 268)))
    xdotool mousemove $((X + 130)) $((Y + 234)) click 1
    xdotool type --delay 40 "$FTPUPG_DEMO_PASSWORD"
    xdotool mousemove $((X + 64)) $((Y + 268)) click 1
    # Finished once "Cancel" has gone (at 180,268 "OK" does not cover its place).
    wait_pixel_not $((X + 180)) $((Y + 268)) "$cancel_face"
    import -window root -crop "434x292+$X+$Y" +repage screen.png
    xdotool mousemove $((X + 109)) $((Y + 268)) click 1
    wait $app; kill $xvfb
    echo "demo: screenshot of the finished window: $PWD/screen.png"
  else
    "$build/app/ftpupg"
  fi
  kill $device 2>/dev/null; wait $device 2>/dev/null; trap - EXIT
  if [ -s received.bin ] || [ -f received.bin ]; then
    for image in kr730-1.4.0.bin kr730-1.3.9.bin; do
      if cmp -s received.bin "$image"; then
        echo "demo: the device received $image intact ($(stat -c %s received.bin) bytes)."
        exit 0
      fi
    done
    echo "demo: the device holds an image that matches no version (interrupted upgrade?)."
  else
    echo "demo: no upgrade was made."
  fi
'
