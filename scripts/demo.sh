#!/bin/bash
# The demo: sets up and builds what is missing, then starts the utility against one simulated
# device on 127.0.0.2, all inside a private network namespace (nothing leaves this machine).
# Works for root and for a normal user (the namespace then lives in a user namespace, which
# also lets the simulated device take TFTP's port 69).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
password=${FTPUPG_DEMO_PASSWORD:-kr730}

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${FTPUPG_DEMO_HEADLESS:-}" ]; then
  echo "demo: no display. Run it from a desktop session, or set FTPUPG_DEMO_HEADLESS=1 to run" >&2
  echo "      it on a virtual X server (Xvfb) and get a screenshot in demo/screen.png." >&2
  exit 1
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
rm -f received.bin
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
1. Type the password: $password
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
  "$build/sim/ftpupg-simdev" --bind 127.0.0.2 --password "$FTPUPG_DEMO_PASSWORD" --tftp-slot received.bin &
  device=$!
  trap "kill $device 2>/dev/null; wait $device 2>/dev/null" EXIT
  sleep 0.2
  export NDXL_BROADCAST=127.255.255.255
  if [ -n "${FTPUPG_DEMO_HEADLESS:-}" ]; then
    export DISPLAY=:77 XDG_RUNTIME_DIR=$PWD
    Xvfb :77 -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 & xvfb=$!
    sleep 1
    "$build/app/ftpupg" & app=$!
    sleep 2
    import -window root screen.png
    kill $app; wait $app; kill $xvfb
    echo "demo: screenshot in $PWD/screen.png"
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
