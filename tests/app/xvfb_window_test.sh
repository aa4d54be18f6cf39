#!/bin/bash
# The real binary on a real X server: the window is 434x292, centred, its key-red corners
# show what lies behind it, and a click on a corner goes past it. Runs inside a private
# network namespace (the X server is reached through its file socket).
set -euo pipefail
ftpupg=$1
work=$(mktemp -d)
cleanup() {
  [ -n "${app:-}" ] && kill "$app" 2>/dev/null || true
  [ -n "${xvfb:-}" ] && kill "$xvfb" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

. "$(dirname "$0")/../xvfb-lib.sh"
start_xvfb -br

cd "$work"
printf '[Data]\nIP=127.0.0.2\nTitle=KR730 - Firmware Upgrade\n' > FTPUPG.ini
printf 'Notes for the operator.\n' > note1.txt
export NDXL_BROADCAST=127.255.255.255 XDG_RUNTIME_DIR=$work QT_QPA_PLATFORM=xcb
"$ftpupg" 2>"$work/app.log" &
app=$!

find_window "$work/app.log"

geometry=$(xwininfo -id "$id")
width=$(awk '/Width:/ {print $2}' <<<"$geometry")
height=$(awk '/Height:/ {print $2}' <<<"$geometry")
left=$(awk '/Absolute upper-left X:/ {print $4}' <<<"$geometry")
top=$(awk '/Absolute upper-left Y:/ {print $4}' <<<"$geometry")
fail=0
check() { if [ "$2" != "$3" ]; then echo "FAIL: $1 is $2, expected $3"; fail=1; else echo "ok: $1 = $2"; fi; }
check width "$width" 434
check height "$height" 292
check left "$left" $(((1024 - 434) / 2))
check top "$top" $(((768 - 292) / 2))

import -window root "$work/screen.png"
pixel() { convert "$work/screen.png" -format "%[pixel:p{$1,$2}]" info:; }
# The root window is black (-br): key-red corners must show it, never red.
for corner in "$left,$top" "$((left + 433)),$top" "$left,$((top + 291))" "$((left + 433)),$((top + 291))"; do
  colour=$(pixel "${corner%,*}" "${corner#*,}")
  case "$colour" in
    "srgb(0,0,0)"|black) echo "ok: corner $corner shows the root window" ;;
    *) echo "FAIL: corner $corner shows $colour"; fail=1 ;;
  esac
done
centre=$(pixel $((left + 217)) $((top + 146)))
[ "$centre" != "srgb(0,0,0)" ] && [ "$centre" != "black" ] || { echo "FAIL: the window's face is not drawn"; fail=1; }

# A click on a see-through corner lands on the root window, not on ours.
xdotool mousemove "$left" "$top"
sleep 0.2
under=$(xdotool getmouselocation --shell | awk -F= '/^WINDOW=/ {print $2}')
if [ "$under" = "$id" ]; then echo "FAIL: the corner still belongs to the window"; fail=1; else echo "ok: corner is click-through"; fi
xdotool mousemove $((left + 217)) $((top + 146))
sleep 0.2
under=$(xdotool getmouselocation --shell | awk -F= '/^WINDOW=/ {print $2}')
[ "$under" = "$id" ] && echo "ok: the face takes the pointer" || { echo "FAIL: the face does not take the pointer ($under vs $id)"; fail=1; }

# Dragging the face with the left button moves the window; the right button does not.
# (400,140) is bare face: right of the notes, above the progress area.
xdotool mousemove $((left + 400)) $((top + 140)) mousedown 3 mousemove $((left + 440)) $((top + 170)) mouseup 3
sleep 0.3
eval "$(xdotool getwindowgeometry --shell "$id")"
check "position after a right-button drag" "$X,$Y" "$left,$top"
xdotool mousemove $((left + 400)) $((top + 140)) mousedown 1
for step in 10 20 30 40; do xdotool mousemove $((left + 400 + step)) $((top + 140 + step / 2)); sleep 0.05; done
xdotool mouseup 1
sleep 0.3
eval "$(xdotool getwindowgeometry --shell "$id")"
check "position after a left-button drag" "$X,$Y" "$((left + 40)),$((top + 20))"

[ -z "${FTPUPG_SCREENSHOT:-}" ] || convert "$work/screen.png" -crop "434x292+$left+$top" +repage "$FTPUPG_SCREENSHOT"

# "Cancel" (120,256 75x25) ends the utility with exit code 0.
xdotool mousemove $((X + 157)) $((Y + 268)) click 1
running() { [ -n "$(ps -o stat= -p "$1" 2>/dev/null | grep -v Z)" ]; }
for _ in $(seq 50); do running "$app" || break; sleep 0.1; done
if running "$app"; then echo "FAIL: Cancel did not end the utility"; fail=1
else wait "$app" && echo "ok: Cancel ended the utility with 0" || { echo "FAIL: exit code $?"; fail=1; }; app=""; fi
exit $fail
