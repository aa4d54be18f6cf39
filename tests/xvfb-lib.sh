# Sourced by the tests that need a real X server: start_xvfb [EXTRA_ARGS...] starts Xvfb on a
# free display (it picks the number itself, so stale locks and parallel tests never collide),
# exports DISPLAY and sets xvfb to its pid.
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

# find_window PID LOG: sets id to the main window of the utility, or fails with its log.
find_window() {
  id=""
  for _ in $(seq 100); do
    id=$(xdotool search --name '^Morvane KR730 Utility$' 2>/dev/null | head -n1) && [ -n "$id" ] && break
    sleep 0.1
  done
  [ -n "$id" ] || { echo "FAIL: window never appeared"; cat "$1"; return 1; }
  sleep 0.5
}
