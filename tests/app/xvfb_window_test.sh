#!/bin/bash
# The real binary on a real X server: the window is 434x292, centred, its key-red corners
# show what lies behind it, and a click on a corner goes past it. Runs inside a private
# network namespace (the X server is reached through its file socket).
set -euo pipefail
ftpupg=$1
. "$(dirname "$0")/../xvfb-lib.sh"
xvfb_test_work
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

# Task bars and window lists show the caption as it is, with nothing appended.
for property in _NET_WM_NAME WM_NAME; do
  check "$property" "$(xprop -id "$id" "$property" | sed 's/^[^=]*= //')" '"Morvane KR730 Utility"'
done

# The face is drawn once the centre is no longer the black root window.
wait_pixel_not $((left + 217)) $((top + 146)) "srgb(0,0,0)" || fail=1
import -window root "$work/screen.png"
shot() { convert "$work/screen.png" -format "%[pixel:p{$1,$2}]" info:; }
# The root window is black (-br): key-red corners must show it, never red.
for corner in "$left,$top" "$((left + 433)),$top" "$left,$((top + 291))" "$((left + 433)),$((top + 291))"; do
  colour=$(shot "${corner%,*}" "${corner#*,}")
  case "$colour" in
    "srgb(0,0,0)"|black) echo "ok: corner $corner shows the root window" ;;
    *) echo "FAIL: corner $corner shows $colour"; fail=1 ;;
  esac
done

# A click on a see-through corner lands on the root window, not on ours.
under_pointer() { xdotool mousemove --sync "$1" "$2" getmouselocation --shell | awk -F= '/^WINDOW=/ {print $2}'; }
[ "$(under_pointer "$left" "$top")" != "$id" ] && echo "ok: corner is click-through" \
  || { echo "FAIL: the corner still belongs to the window"; fail=1; }
[ "$(under_pointer $((left + 217)) $((top + 146)))" = "$id" ] && echo "ok: the face takes the pointer" \
  || { echo "FAIL: the face does not take the pointer"; fail=1; }

# Dragging the face with the left button moves the window; the right button does not, so
# after a right drag and two left drags of (40,20) the window stands (80,40) further. The
# second left drag starts on the title band. The utility takes the events in their order.
drag() {  # drag BUTTON X Y: press at X,Y in the window and move by (40,20) in steps
  local x=$((X + $2)) y=$((Y + $3))
  xdotool mousemove --sync "$x" "$y" mousedown "$1"
  for step in 10 20 30 40; do xdotool mousemove --sync $((x + step)) $((y + step / 2)); done
  xdotool mouseup "$1"
}
wait_position() {  # wait_position X Y: until the window stands there (a minute at most)
  for _ in $(seq 600); do
    eval "$(xdotool getwindowgeometry --shell "$id")"
    [ "$X,$Y" = "$1,$2" ] && return 0
    sleep 0.1
  done
  return 1
}
X=$left Y=$top
drag 3 400 140
drag 1 400 140
wait_position $((left + 40)) $((top + 20))
drag 1 217 20
wait_position $((left + 80)) $((top + 40))
check "position after a right drag and two left drags (the second on the title)" "$X,$Y" \
  "$((left + 80)),$((top + 40))"

[ -z "${FTPUPG_SCREENSHOT:-}" ] || convert "$work/screen.png" -crop "434x292+$left+$top" +repage "$FTPUPG_SCREENSHOT"

# "Cancel" (120,256 75x25) ends the utility with exit code 0.
xdotool mousemove $((X + 157)) $((Y + 268)) click 1
running() { [ -n "$(ps -o stat= -p "$1" 2>/dev/null | grep -v Z)" ]; }
for _ in $(seq 600); do running "$app" || break; sleep 0.1; done
if running "$app"; then echo "FAIL: Cancel did not end the utility"; fail=1
else wait "$app" && echo "ok: Cancel ended the utility with 0" || { echo "FAIL: exit code $?"; fail=1; }; app=""; fi
exit $fail
