#!/bin/bash
# TFTP interoperability cases; run inside a private loopback-only namespace.
# usage: interop.sh GROUP SIMTFTPD RELAY [TFTPPUT]
#   peers    curl, atftp and tftp-hpa's client against ftpupg-simtftpd (also through the relay)
#   matrix   tftpput against in.tftpd (no window: lock-step), atftpd, the npm "tftp" server
#            and ftpupg-simtftpd: every window size x block size against every server,
#            each with sizes ending on a window, on a block and inside a window, plus empty,
#            one-byte and block-number-wrapping images; byte-identical on arrival
#   faults   tftpput against server errors and misbehaviour
#   lastblock tftpput when the last DATA block is lost once
#   loss     16 MiB through ftpupg-lossy-relay at 2 % loss to retransmitting servers
set -u
group=$1 simtftpd=$(realpath "$2") relay=$(realpath "$3") tftpput=${4:+$(realpath "$4")}
here=$(cd "$(dirname "$0")" && pwd)
npm_modules=${FTPUPG_NPM_MODULES:-$here/../../.deps/npm/node_modules}
atftpd=${FTPUPG_ATFTPD:-$here/../../.deps/atftpd/usr/sbin/atftpd}

work=$(mktemp -d /tmp/ftpupg-interop.XXXXXX)
chmod 755 "$work"
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
cd "$work"

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }

# Some servers acknowledge the last block before their write reaches the disk: allow 10 s.
same() {  # same EXPECTED ARRIVED
  for _ in $(seq 200); do
    cmp -s "$1" "$2" && return 0
    sleep 0.05
  done
  cmp "$1" "$2" >&2
  return 1
}

# Helpers start on a readiness sign, never after a fixed sleep; 20 s covers a loaded machine.
wait_for() {  # wait_for WHAT COMMAND...: until COMMAND succeeds
  local what=$1; shift
  for _ in $(seq 400); do "$@" && return 0; sleep 0.05; done
  echo "$what did not start" >&2; return 1
}

wait_port_file() {
  wait_for "port file $1" test -s "$1" || exit 1
  cat "$1"
}

udp_listening() { [ -n "$(ss -Hlun "sport = :$1")" ]; }

make_files() {
  for n in 0 1 511 512 513 1024 1500; do head -c $n /dev/urandom > f$n; done
  head -c $((1048576 + 7)) /dev/urandom > f1m7
}

start_sim() {  # start_sim NAME ARGS...: serves directory NAME on 127.0.0.2, port in $sim_port
  local name=$1; shift
  mkdir -p "$name"
  rm -f "$name.port"
  "$simtftpd" -a 127.0.0.2 -p 0 --port-file "$name.port" -d "$name" -o "$name/slot.bin" "$@" 2>>"$name.log" &
  pids+=($!); sim_pid=$!
  sim_port=$(wait_port_file "$name.port") || exit 1
}

stop_last() { kill "$1" 2>/dev/null; wait "$1" 2>/dev/null; }

# in.tftpd must drop privileges; inside a user namespace (not real root) it cannot.
real_root() { read -r a b _ < /proc/self/uid_map; [ "$a" = 0 ] && [ "$b" = 0 ]; }

start_hpa() {  # in.tftpd on every address (its -a needs a non-loopback address to resolve)
  mkdir -p hpa && chmod 777 hpa
  in.tftpd -4 -L -c -s -T 20000 -a :6901 "$work/hpa" &
  pids+=($!); hpa_pid=$!
  wait_for in.tftpd udp_listening 6901 || exit 1
}

start_atftpd() {  # the server that knows the window; it drops to nobody, so it needs real root
  [ -x "$atftpd" ] || { echo "no atftpd at $atftpd (scripts/setup.sh unpacks it)" >&2; exit 1; }
  mkdir -p atftpd && chmod 777 atftpd
  "$atftpd" --daemon --no-fork --port 6904 --bind-address 127.0.0.4 --logfile "$work/atftpd.log" "$work/atftpd" &
  pids+=($!); atftpd_pid=$!
  wait_for atftpd udp_listening 6904 || exit 1
}

start_npm() {
  mkdir -p npm
  node "$here/npm-tftpd.js" "$npm_modules" 127.0.0.3 6903 "$work/npm" 2>npm.log &
  pids+=($!); npm_pid=$!
  wait_for "npm tftp server" grep -q listening npm.log || { cat npm.log >&2; exit 1; }
}

case $group in
peers)
  make_files
  start_sim sim -t 100
  for f in f0 f513 f1m7; do
    for bs in 512 1468 8192; do
      curl -sS --tftp-blksize $bs -T $f "tftp://127.0.0.2:$sim_port/c$bs$f" || fail "curl $bs $f exit $?"
      same $f sim/c$bs$f && pass "curl blksize $bs $f"
    done
    atftp --option "blksize 1024" -p -l $f -r a$f 127.0.0.2 "$sim_port" 2>/dev/null || fail "atftp $f"
    same $f sim/a$f && pass "atftp blksize 1024 $f"
    tftp -m binary 127.0.0.2 "$sim_port" -c put $f h$f
    same $f sim/h$f && pass "tftp-hpa $f"
  done
  for ws in 4 64; do  # atftp's client knows the window too
    atftp --option "blksize 1468" --option "windowsize $ws" -p -l f1m7 -r w$ws 127.0.0.2 "$sim_port" 2>/dev/null ||
      fail "atftp window $ws"
    same f1m7 sim/w$ws && pass "atftp window $ws"
  done
  atftp -p -l f1500 -r / 127.0.0.2 "$sim_port" 2>/dev/null || fail "atftp to /"
  same f1500 sim/slot.bin && pass "atftp to the firmware slot \"/\""
  if atftp -g -l got -r f0 127.0.0.2 "$sim_port" 2>/dev/null; then fail "read request served"; else pass "read refused"; fi
  # The relay follows the server's transfer port and keeps curl's retransmissions working.
  "$relay" -l 127.0.0.1:0 --port-file relay.port -s 127.0.0.2:$sim_port --drop 0.05 --dup 0.02 --reorder 0.02 \
    --seed 3 -q 2>relay.log &
  pids+=($!)
  rport=$(wait_port_file relay.port) || exit 1
  # What counts is what arrived: a client whose last ACK the relay dropped may give up
  # (atftp) or wait its long time-outs (curl) with the whole file already stored.
  curl -sS --max-time 30 --tftp-blksize 1024 -T f1m7 "tftp://127.0.0.1:$rport/lossy" ||
    echo "curl through relay: exit $? (the file is checked)"
  if same f1m7 sim/lossy; then pass "curl through the lossy relay"; else fail "curl through the lossy relay"; fi
  atftp --option "windowsize 16" -p -l f1m7 -r lossyw 127.0.0.1 "$rport" 2>/dev/null ||
    echo "atftp window through relay: exit $? (the file is checked)"
  if same f1m7 sim/lossyw; then pass "atftp window 16 through the lossy relay"; else fail "atftp window 16 through the lossy relay"; fi
  # --latency-us holds every datagram each way: a lock-step upload of 3 blocks and the
  # request pays at least 4 round trips of 2 x 20 ms.
  "$relay" -l 127.0.0.1:0 --port-file slow.port -s 127.0.0.2:$sim_port --latency-us 20000 -q 2>>relay.log &
  pids+=($!)
  sport=$(wait_port_file slow.port) || exit 1
  head -c 2100 /dev/urandom >f2100
  start=$(date +%s%N)
  curl -sS --tftp-blksize 1024 -T f2100 "tftp://127.0.0.1:$sport/slow" || fail "curl through the slow relay"
  ms=$(( ($(date +%s%N) - start) / 1000000 ))
  same f2100 sim/slow && pass "curl through the relay with latency"
  [ $ms -ge 160 ] && pass "latency held: $ms ms" || fail "4 round trips with 40 ms each took $ms ms"
  ;;

matrix)
  [ -x "$tftpput" ] || { echo "no tftpput" >&2; exit 1; }
  start_sim sim -t 100
  start_npm
  servers="sim:127.0.0.2:$sim_port:sim npm:127.0.0.3:6903:npm"
  if real_root; then
    start_hpa; start_atftpd
    servers="$servers hpa:127.0.0.1:6901:hpa atftpd:127.0.0.4:6904:atftpd"
  else
    echo "SKIP in.tftpd and atftpd (not real root)"
  fi
  # Every window size with every block size, against every server; for each pair an image
  # that ends on a window's end (the empty last block opens a window of its own), one whose
  # short last block ends a window, and one that ends inside a window.
  head -c $((65536 * 512 + 100)) /dev/urandom >pool # also the image that wraps the block number
  piece() { [ -e "$1" ] || head -c "$2" pool >"$1"; }
  uploads=()
  for w in 1 4 16 64; do
    for bs in 512 1024 1468 8192; do
      for bytes in $((bs * w * 2)) $((bs * w * 2 - 1)) $((bs * (w + 1) + 7)); do
        piece "s$bytes" "$bytes"
        uploads+=("$w $bs s$bytes")
      done
    done
  done
  piece s0 0; piece s1 1; piece s1024 1024; cp pool wrap
  uploads+=("16 1024 s0" "16 1024 s1" "4 1024 s1024" "64 512 wrap")
  for s in $servers; do
    IFS=: read -r name host port dir <<<"$s"
    for u in "${uploads[@]}"; do
      read -r w bs f <<<"$u"
      remote=w$w-b$bs-$f what="$name window $w blksize $bs $f ($(stat -c %s $f) bytes)"
      # in.tftpd does not know the window: it must fall back to lock-step. The npm server
      # grants at most 4.
      granted=$w
      case $name in hpa) granted=1 ;; npm) [ $w -gt 4 ] && granted=4 ;; esac
      # atftpd's socket buffer overflows with windows of 16 and more 8192-byte blocks, and it
      # does not tell gaps: each loss costs the client a time-out, kept short here.
      if "$tftpput" -q --json -t 400 -r 20 -p "$port" -b $bs -w $w "$host" $f $remote >out.json 2>err.txt; then
        if ! grep -Eq "\"windowsize\": *$granted[,} ]" out.json; then
          fail "$what: granted window is not $granted: $(cat out.json)"
        elif same $f "$dir/$remote"; then
          pass "$what"
        else
          fail "$what differs"
        fi
      else
        fail "$what: exit $?: $(cat err.txt)"
      fi
      rm -f "$dir/$remote"
    done
  done
  ;;

faults)
  [ -x "$tftpput" ] || { echo "no tftpput" >&2; exit 1; }
  make_files
  expect_error() {  # expect_error WHAT TEXT ARGS...: exit 3 (EXPECT_RC to change), TEXT on stderr
    local what=$1 text=$2; shift 2
    "$tftpput" "$@" 2>err.txt >/dev/null
    local rc=$?
    if [ $rc = "${EXPECT_RC:-3}" ] && grep -qF -- "$text" err.txt; then pass "$what"; else fail "$what: exit $rc, stderr: $(cat err.txt)"; fi
  }
  if real_root; then
    start_hpa
    expect_error "in.tftpd refuses \"/\"" "Is a directory" -p 6901 127.0.0.1 f1500 /
    stop_last "$hpa_pid"
  else
    echo "SKIP in.tftpd (not real root)"
  fi

  start_sim err --error-after 2 --error-code 3 --error-text "Flash full"
  expect_error "ERROR after 2 blocks" "Flash full" -p "$sim_port" 127.0.0.2 f1500 /
  [ -e err/slot.bin ] && fail "image stored after ERROR"
  stop_last "$sim_pid"

  start_sim err0 --error-after 0 --error-code 8 --error-text "Bad option"
  expect_error "ERROR 8 to the request" "Bad option" -p "$sim_port" 127.0.0.2 f1 /
  stop_last "$sim_pid"

  start_sim silent --silent
  start=$(date +%s%N)
  expect_error "no answer" "Timeout" -p "$sim_port" -t 500 127.0.0.2 f1500 /
  ms=$(( ($(date +%s%N) - start) / 1000000 ))
  # Not before the time-out; the upper bound only catches a client that never gives up.
  [ $ms -ge 450 ] && [ $ms -lt 15000 ] || fail "Timeout after $ms ms, expected about 500"
  stop_last "$sim_pid"

  # Without the last block's ACK the server may or may not hold the whole file: no success
  # and no plain time-out either, with the block sent again (default) or not (--classic, as
  # the window does).
  start_sim nofinal --no-final-ack
  EXPECT_RC=4 expect_error "no ACK for the last block" "never acknowledged" -p "$sim_port" -t 300 -r 2 \
    127.0.0.2 f1500 /
  EXPECT_RC=4 expect_error "no ACK for the last block, classic" "never acknowledged" --classic \
    -p "$sim_port" -t 300 127.0.0.2 f1500 /
  stop_last "$sim_pid"

  start_sim dup --dup-acks 2
  "$tftpput" -p "$sim_port" -b 512 127.0.0.2 f1m7 / 2>err.txt || fail "duplicate ACKs: exit $?: $(cat err.txt)"
  same f1m7 dup/slot.bin && pass "duplicate ACKs"
  stop_last "$sim_pid"

  start_sim wrap --first-ack 65534
  "$tftpput" -p "$sim_port" 127.0.0.2 f1m7 / 2>err.txt || fail "wrap: exit $?: $(cat err.txt)"
  same f1m7 wrap/slot.bin && pass "block numbers wrap 65535 -> 0"
  stop_last "$sim_pid"

  for mode in ignore "answer --answer-blksize 700"; do
    start_sim bs --blksize-mode $mode
    "$tftpput" -p "$sim_port" -b 1024 127.0.0.2 f1m7 / 2>err.txt || fail "blksize $mode: exit $?: $(cat err.txt)"
    same f1m7 bs/slot.bin && pass "server blksize mode $mode"
    stop_last "$sim_pid"
    rm -rf bs
  done

  ;;

lastblock)
  [ -x "$tftpput" ] || { echo "no tftpput" >&2; exit 1; }
  make_files
  # The last block goes missing once; the server asks again with the previous ACK. The client
  # must send the last block again and end with the whole image on the server: taking that ACK
  # as the end would report success without it, and any failure would be wrong as well.
  start_sim lost --lose-final-data -t 100
  "$tftpput" -q -p "$sim_port" -t 1000 127.0.0.2 f1500 / 2>err.txt
  rc=$?
  if [ $rc != 0 ]; then
    fail "lost last block: exit $rc: $(cat err.txt)"
  elif ! same f1500 lost/slot.bin; then
    fail "lost last block: tftpput reported success but the server has no image"
  else
    pass "lost last block: sent again, image whole"
  fi
  stop_last "$sim_pid"
  ;;

loss)
  [ -x "$tftpput" ] || { echo "no tftpput" >&2; exit 1; }
  head -c $((16 * 1048576)) /dev/urandom > f16m
  start_sim sim -t 20 -r 100
  targets="sim:127.0.0.2:$sim_port:sim"
  if real_root; then start_hpa; targets="$targets hpa:127.0.0.1:6901:hpa"; else echo "SKIP in.tftpd (not real root)"; fi
  seed=11
  for t in $targets; do
    IFS=: read -r name host port dir <<<"$t"
    for bs in 1024 8192; do
      rm -f relay.port
      "$relay" -l 127.0.0.1:0 --port-file relay.port -s "$host:$port" --drop 0.02 --dup 0.01 --reorder 0.01 \
        --seed $seed -q 2>>relay.log &
      rp=$!; pids+=($rp)
      rport=$(wait_port_file relay.port) || exit 1
      if "$tftpput" -p "$rport" -b $bs -t 2000 127.0.0.1 f16m loss$bs 2>err.txt; then
        same f16m "$dir/loss$bs" && pass "$name 16 MiB blksize $bs through 2 % loss" ||
          fail "$name 16 MiB blksize $bs arrived different"
      else
        fail "$name 16 MiB blksize $bs: exit $?: $(cat err.txt)"
      fi
      stop_last $rp
      seed=$((seed + 1))
    done
  done
  grep -h passed relay.log
  ;;

*)
  echo "unknown group $group" >&2; exit 2 ;;
esac

if [ $failures != 0 ]; then
  echo "$failures failure(s); server logs:" >&2
  tail -n 20 ./*.log >&2 2>/dev/null
  exit 1
fi
echo "all passed"
