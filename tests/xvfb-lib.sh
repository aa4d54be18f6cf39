# Sourced by the tests that need a real X server (and the demo and the package check).
# xvfb_test_work: makes the test's private folder $work, removed on exit together with the
# processes whose pids the test keeps in app, device and xvfb.
# start_xvfb [EXTRA_ARGS...] starts Xvfb on a
# free display (it picks the number itself, so stale locks and parallel tests never collide),
# exports DISPLAY and sets xvfb to its pid.
xvfb_test_work() {
  work=$(mktemp -d)
  trap xvfb_test_cleanup EXIT
}
xvfb_test_cleanup() {
  for pid in ${app:-} ${device:-} ${xvfb:-}; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}

start_xvfb() {
  local numfile
  numfile=$(mktemp)
  # -noreset: a server that resets after the readiness probe disconnects refuses clients
  # for a moment, and a loaded machine makes that moment long.
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset "$@" 3>"$numfile" >/dev/null 2>&1 &
  xvfb=$!
  for _ in $(seq 300); do
    [ -s "$numfile" ] && break
    kill -0 "$xvfb" 2>/dev/null || { echo "FAIL: Xvfb did not start"; return 1; }
    sleep 0.05
  done
  export DISPLAY=:$(tr -d '[:space:]' <"$numfile")
  rm -f "$numfile"
  for _ in $(seq 300); do xdpyinfo >/dev/null 2>&1 && return 0; sleep 0.05; done
  echo "FAIL: Xvfb on $DISPLAY does not answer"
  return 1
}

# find_window LOG: sets id to the main window of the utility once it is shown and has the
# focus (its first activation has run), or fails with the utility's log.
find_window() {
  id=""
  for _ in $(seq 600); do
    [ -n "$id" ] || id=$(xdotool search --name '^Morvane KR730 Utility$' 2>/dev/null | head -n1) || true
    if [ -n "$id" ] && xwininfo -id "$id" 2>/dev/null | grep -q IsViewable \
       && [ "$(xdotool getwindowfocus 2>/dev/null)" = "$id" ]; then
      return 0
    fi
    sleep 0.1
  done
  echo "FAIL: the window never appeared with the focus"; cat "$1"; return 1
}

# pixel X Y: the screen's colour there, as ImageMagick names it ("srgb(113,105,165)").
pixel() {
  import -window root -crop "1x1+$1+$2" +repage -format '%[pixel:p{0,0}]' info:
}

# wait_pixel_not X Y COLOUR: waits until the screen at X,Y shows another colour (a control
# hidden or drawn), for at most a minute.
wait_pixel_not() {
  for _ in $(seq 600); do [ "$(pixel "$1" "$2")" != "$3" ] && return 0; sleep 0.1; done
  echo "FAIL: the screen at $1,$2 still shows $3"; return 1
}
