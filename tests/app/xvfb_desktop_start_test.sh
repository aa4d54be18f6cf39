#!/bin/bash
# The window started as the desktop entry starts it, on a real X server: from the menu it
# asks for the site folder (a folder without FTPUPG.ini gets a question first), then shows
# that site as a start in the folder would; the next start offers the folder chosen last;
# cancelling ends the program; "Open with" on an FTPUPG.ini opens that site at once.
#   xvfb_desktop_start_test.sh FTPUPG DESKTOP_FILE
set -euo pipefail
ftpupg=$1
desktop=$2
. "$(dirname "$0")/../xvfb-lib.sh"
xvfb_test_work
start_xvfb -br

site=$work/sites/north
mkdir -p "$work/home" "$work/runtime" "$site" "$work/sites/empty"
chmod 700 "$work/runtime"
printf '[Data]\nIP=127.0.0.7\nTitle=North Site Upgrade\n' >"$site/FTPUPG.ini"
printf 'Notes of the north site.\n' >"$site/note1.txt"
printf 'Notes in the home folder.\n' >"$work/home/note1.txt"
export HOME=$work/home XDG_CONFIG_HOME=$work/config XDG_RUNTIME_DIR=$work/runtime
export NDXL_BROADCAST=127.255.255.255 QT_QPA_PLATFORM=xcb
fail=0
log=$work/app.log

# start [FOLDER]: the program from a terminal, in the home folder.
start() { (cd "$HOME" && exec "$ftpupg" "$@") 2>>"$log" & app=$!; }
# desktop_start [FILE]: as the desktop entry's command line runs it, from the menu or with
# the file a file manager hands over.
exec_line=$(sed -n 's/^Exec=//p' "$desktop")
desktop_start() {
  local word command=()
  for word in $exec_line; do
    case $word in
      ftpupg) command+=("$ftpupg") ;;
      %f) command+=("$@") ;;
      *) command+=("$word") ;;
    esac
  done
  (cd "$HOME" && exec "${command[@]}") 2>>"$log" & app=$!
}
running() { [ -n "$(ps -o stat= -p "$app" 2>/dev/null | grep -v Z)" ]; }
# ended CODE WHAT: the program ends by itself with CODE.
ended() {
  for _ in $(seq 600); do running || break; sleep 0.1; done
  if running; then echo "FAIL: $2: the program still runs"; fail=1; return; fi
  local code=0
  wait "$app" || code=$?
  app=""
  [ "$code" = "$1" ] && echo "ok: $2: ended with $code" || { echo "FAIL: $2: ended with $code"; fail=1; }
}
# focused NAME: waits until a window whose name matches NAME is shown with the focus; sets id.
focused() {
  for _ in $(seq 600); do
    id=$(xdotool getwindowfocus 2>/dev/null) || id=""
    [ -n "$id" ] && xdotool getwindowname "$id" 2>/dev/null | grep -qE -- "$1" &&
      xwininfo -id "$id" 2>/dev/null | grep -q IsViewable && return 0
    sleep 0.1
  done
  echo "FAIL: no window named '$1' took the focus"; cat "$log"; return 1
}
dialog='choose the folder that holds FTPUPG\.ini$'
question='^Morvane Firmware Upgrade Utility$'
# The window's face, once drawn and settled; the text caret may blink in between.
shot() {  # shot FILE
  find_window "$log"
  eval "$(xdotool getwindowgeometry --shell "$id")"
  wait_pixel_not $((X + 217)) $((Y + 146)) "srgb(0,0,0)"
  xdotool mousemove 0 0  # no button drawn hovered
  local previous=""
  for _ in $(seq 50); do
    import -window root -crop "434x292+$X+$Y" +repage "$1"
    [ -n "$previous" ] && [ "$(differing "$1" "$previous")" -le 40 ] && break
    cp "$1" "$work/previous.png"; previous=$work/previous.png
    sleep 0.2
  done
}
differing() { compare -metric AE "$1" "$2" null: 2>&1 || true; }
close_window() { eval "$(xdotool getwindowgeometry --shell "$id")"; xdotool mousemove $((X + 157)) $((Y + 268)) click 1; }

# What a terminal start shows in the site folder and in one without settings (the home folder).
start "$site"; shot "$work/site.png"; close_window; ended 0 "the site from a terminal"
start; shot "$work/defaults.png"; close_window; ended 0 "the defaults from a terminal"
[ "$(differing "$work/site.png" "$work/defaults.png")" -gt 1000 ] ||
  { echo "FAIL: the site's window looks like the defaults"; fail=1; }

# From the menu: the dialog; a folder without FTPUPG.ini gets the question, whose default
# answer goes back to the dialog; then the site.
desktop_start
focused "$dialog"
xdotool type --delay 20 "$work/sites/empty"; xdotool key Return
focused "$question" && echo "ok: a folder without FTPUPG.ini asks first"
xdotool key Return
focused "$dialog" && echo "ok: choosing another folder shows the dialog again"
xdotool type --delay 20 "$site"; xdotool key Return
shot "$work/menu.png"
n=$(differing "$work/menu.png" "$work/site.png")
[ "$n" -le 40 ] && echo "ok: the chosen site shows its title, notes and address" ||
  { echo "FAIL: the chosen site's window differs from the site's in $n pixels"; fail=1; cp "$work/menu.png" /tmp/desktop-start-menu.png; }
close_window; ended 0 "the chosen site"
grep -qxF "Last=$site" "$XDG_CONFIG_HOME/Morvane/ftpupg.conf" && echo "ok: the chosen folder is remembered" ||
  { echo "FAIL: the chosen folder is not remembered"; fail=1; }

# The next start offers the folder chosen last: taking the dialog as it opens gives that site.
desktop_start
focused "$dialog"; xdotool key Return
shot "$work/again.png"
[ "$(differing "$work/again.png" "$work/site.png")" -le 40 ] && echo "ok: the dialog opens at the last site" ||
  { echo "FAIL: the dialog did not open at the last site"; fail=1; }
close_window; ended 0 "the last site"

# Cancelling the dialog ends the program without a window.
desktop_start
focused "$dialog"; xdotool key Escape
ended 0 "the cancelled dialog"

# "Open with" on the site's FTPUPG.ini: no dialog, the site at once.
desktop_start "$site/FTPUPG.ini"
shot "$work/open-with.png"
[ "$(differing "$work/open-with.png" "$work/site.png")" -le 40 ] && echo "ok: Open with shows the site" ||
  { echo "FAIL: Open with on FTPUPG.ini did not show the site"; fail=1; }
close_window; ended 0 "Open with"
exit $fail
