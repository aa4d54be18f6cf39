#!/bin/bash
# Plays docs/ansible/site.yml with ansible-playbook against simulated sites. Each site is a
# network namespace of its own holding its simulated devices; the site's "host" is the
# controller itself (connection local) and its ftpupg-cli runs inside the site's namespace.
# Run it inside a private network namespace (the caller wraps it with netns-run).
#
#   role_test.sh CLI SIMDEV                # ftpupg-cli from a build tree, nothing installed
#   role_test.sh CLI SIMDEV --deb DEB      # the role installs DEB; CLI is the installed one
#
# Exit 0 passed, 1 failed, 77 when ansible-playbook is missing.
set -u
cli=$1 simdev=$2 deb=${4:-}
root=$(cd "$(dirname "$0")/../.." && pwd)
playbook=$root/docs/ansible/site.yml
command -v ansible-playbook >/dev/null || { echo "SKIP: no ansible-playbook (scripts/setup.sh installs it)"; exit 77; }

work=$(mktemp -d)
[ -z "${ROLE_TEST_KEEP:-}" ] || echo "work folder: $work"
sims=()
cleanup() {
  local pid
  for pid in "${sims[@]}"; do kill -TERM "$pid" 2>/dev/null; done
  for pid in "${sims[@]}"; do wait "$pid" 2>/dev/null; done
  [ -n "${ROLE_TEST_KEEP:-}" ] || rm -rf "$work"
}
trap cleanup EXIT
play_name=""
fail() {
  echo "FAIL [$play_name]: $*"
  [ -f "$work/$play_name.out" ] && { echo "--- ansible-playbook output"; cat "$work/$play_name.out"; }
  exit 1
}

export ANSIBLE_HOME=$work/ansible-home ANSIBLE_LOCAL_TEMP=$work/ansible-tmp ANSIBLE_REMOTE_TEMP=$work/ansible-remote \
  ANSIBLE_ASYNC_DIR=$work/ansible-async ANSIBLE_RETRY_FILES_ENABLED=0 ANSIBLE_NOCOLOR=1 ANSIBLE_FORCE_COLOR=0 \
  ANSIBLE_PIPELINING=1 ANSIBLE_DEPRECATION_WARNINGS=0 ANSIBLE_LOCALHOST_WARNING=0 ANSIBLE_PYTHON_INTERPRETER=/usr/bin/python3

# site NAME FIRST_ADDRESS COUNT PASSWORD: a namespace with COUNT simulated devices, and a
# wrapper that runs ftpupg-cli inside it.
site() {
  local name=$1 first=$2 count=$3 password=$4
  mkdir -p "$work/$name/slots"
  unshare --net -- sh -c 'ip link set lo up && exec "$@"' site "$simdev" --bind "$first" --count "$count" \
    --password "$password" --tftp-slot-dir "$work/$name/slots" --restart-ms 1000 2>"$work/$name/sim.log" &
  sims+=($!)
  printf '#!/bin/sh\nexec nsenter --net=/proc/%s/ns/net -- %s "$@"\n' "${sims[-1]}" "$cli" >"$work/$name/ftpupg-cli"
  chmod +x "$work/$name/ftpupg-cli"
  for _ in $(seq 1 200); do
    [ "$(grep -c "listening" "$work/$name/sim.log" 2>/dev/null)" -ge "$count" ] && return 0
    kill -0 "${sims[-1]}" 2>/dev/null || fail "site $name: $(cat "$work/$name/sim.log")"
    sleep 0.05
  done
  fail "site $name: its devices are not listening"
}
site north 127.0.0.10 3 Fleet-Pw-4417
site harbour 127.0.0.20 2 Fleet-Pw-4417
site quay 127.0.0.30 3 Quay-Secret-9

head -c 150000 /dev/urandom >"$work/image-1.bin"
head -c 90000 /dev/urandom >"$work/image-2.bin"
sha1=$(sha256sum <"$work/image-1.bin" | cut -c1-64)

# The fleet's password from a vault, as the role's README has it.
printf 'vault password of the test\n' >"$work/vault-password"
export ANSIBLE_VAULT_PASSWORD_FILE=$work/vault-password
vaulted=$(ansible-vault encrypt_string Fleet-Pw-4417 --name ftpupg_password 2>/dev/null) || fail "ansible-vault"

# host NAME[:SITE] KEY: VALUE...: one site host of the inventory, for the site of its name
# or for SITE.
host() {
  local name=${1%%:*} site=${1#*:}
  shift
  echo "    $name:"
  echo "      ftpupg_cli: [$work/$site/ftpupg-cli]"
  echo "      ftpupg_state_dir: $work/$site/state"
  local setting
  for setting in "$@"; do echo "      $setting"; done
}
# play NAME [ansible-playbook options]: the hosts of the inventory are read from standard
# input; the output lands in $work/NAME.out, the exit status in $rc.
play() {
  play_name=$1
  shift
  {
    echo "ftpupg_sites:"
    echo "  vars:"
    echo "    ansible_connection: local"
    echo "    ansible_become: false"
    echo "    ftpupg_image: $work/image-1.bin"
    echo "    $vaulted"
    echo "    ftpupg_broadcast: 127.255.255.255"
    echo "    ftpupg_report_dir: $work/reports"
    echo "    ftpupg_poll: 1"
    if [ -n "$deb" ]; then echo "    ftpupg_package_deb: $deb"; else echo "    ftpupg_install: false"; fi
    echo "  hosts:"
    cat
  } >"$work/$play_name.yml"
  rc=0
  ansible-playbook -i "$work/$play_name.yml" "$playbook" "$@" >"$work/$play_name.out" 2>&1 || rc=$?
}
# recap HOST: the host's PLAY RECAP line, e.g. "ok=12 changed=0 unreachable=0 failed=0 ..."
recap() { sed -n "s/^$1 *: //p" "$work/$play_name.out" | tr -s ' '; }
expect_recap() {   # expect_recap HOST changed=N failed=N
  local line want
  line=$(recap "$1")
  shift
  for want in "$@"; do
    [[ " $line " == *" $want "* ]] || fail "recap '$line' lacks $want"
  done
}
shows() { grep -qF -- "$1" "$work/$play_name.out" || fail "the output lacks: $1"; }
slots() { (cd "$work" && ls -- */slots/ 2>/dev/null | grep -c '\.bin$'); }
same_image() { cmp -s "$1" "$work/$2/slots/$3.bin" || fail "$3 at $2 does not hold $1"; }
# reports HOST preview|real: how many reports of that kind the controller keeps for HOST.
reports() {
  local invert=-v
  [ "$2" = real ] || invert=
  ls "$work/reports/$1" 2>/dev/null | grep '\.json$' | grep -c $invert -- -dry-run.json
}

north_devices="ftpupg_devices: [127.0.0.10, 127.0.0.11, 127.0.0.12]"

if [ -n "$deb" ]; then
  # The package check: the role installs the package, a second play leaves everything as
  # it is, and a site whose devices refuse the password fails naming them.
  # Both site hosts are this machine: one at a time (--forks 1), or their dpkg runs collide.
  play install --forks 1 -e '{"ftpupg_site_batches": ["100%"], "ftpupg_max_failed_sites_percent": 100}' <<<"$(host north "$north_devices"; host quay "ftpupg_devices: [127.0.0.30, 127.0.0.31]")"
  [ "$rc" = 2 ] || fail "ended with $rc, not 2"
  expect_recap north failed=0
  expect_recap quay changed=0 failed=1
  shows "127.0.0.30 did not finish: password-refused"
  shows "127.0.0.31 did not finish: password-refused"
  [ "$(dpkg-query -W -f='${db:Status-Status}' ftpupg)" = installed ] || fail "the package is not installed"
  for ip in 127.0.0.10 127.0.0.11 127.0.0.12; do same_image "$work/image-1.bin" north $ip; done
  rm -f "$work"/*/slots/*.bin
  play again <<<"$(host north "$north_devices")"
  [ "$rc" = 0 ] || fail "ended with $rc"
  expect_recap north changed=0 failed=0
  [ "$(slots)" = 0 ] || fail "a device was written again"
  echo "PASS: the role installs the package, is idempotent, and fails a site naming each device"
  exit 0
fi

# The first three plays are the same but for check mode. harbour lists only one of its
# devices for now; north waits for its devices to come back.
sites() { host north "$north_devices" "ftpupg_wait_back: 30"; host harbour "ftpupg_devices: [127.0.0.20]" "ftpupg_max_rate: 80M"; }

# 1. Check mode previews: every device would be upgraded, nothing is written, and the
#    preview's report is kept apart from the real ones.
play check --check --diff <<<"$(sites)"
[ "$rc" = 0 ] || fail "ended with $rc"
expect_recap north changed=1 failed=0
expect_recap harbour changed=1 failed=0
for ip in 127.0.0.10 127.0.0.11 127.0.0.12 127.0.0.20; do shows "\"$ip: would-upgrade\""; done
! grep -E '"127[.0-9]+: done"' "$work/check.out" >/dev/null || fail "a preview says done"
[ "$(slots)" = 0 ] || fail "a preview wrote an image"
[ ! -e "$work/north/state" ] && [ ! -e "$work/harbour/state" ] || fail "a preview wrote a site's last report"
[ "$(reports north preview)" = 1 ] && [ "$(reports north real)" = 0 ] || fail "the preview's report"

# 2. The first run upgrades every device; the sites' last reports are kept.
play first <<<"$(sites)"
[ "$rc" = 0 ] || fail "ended with $rc"
expect_recap north failed=0
expect_recap harbour failed=0
[[ "$(recap north)" != *" changed=0 "* ]] || fail "north did not change"
for ip in 127.0.0.10 127.0.0.11 127.0.0.12; do same_image "$work/image-1.bin" north $ip; done
same_image "$work/image-1.bin" harbour 127.0.0.20
[ ! -e "$work/harbour/slots/127.0.0.21.bin" ] || fail "127.0.0.21 was not listed but was written"
python3 -c 'import json,sys; o=json.load(open(sys.argv[1]))["options"]; assert o["max_rate_bits_per_s"] == 80000000, o' \
  "$work/harbour/state/last-report.json" || fail "harbour's ftpupg_max_rate did not reach ftpupg-cli"
python3 - "$work/north/state/last-report.json" "$sha1" <<'EOF' || fail "north's last report"
import json, sys
r = json.load(open(sys.argv[1]))
assert r["image"]["sha256"] == sys.argv[2], r["image"]
assert [(d["ip"], d["result"], d["wait_back"]["came_back"]) for d in r["devices"]] == [
    (ip, "done", True) for ip in ("127.0.0.10", "127.0.0.11", "127.0.0.12")], r["devices"]
EOF
[ "$(reports north real)" = 1 ] || fail "the first run's report is not kept on the controller"
# Each report has its page beside it, on the controller and on the site host.
for page in "$work"/reports/north/*.html "$work/north/state/last-report.html"; do
  grep -q "127.0.0.12" "$page" || fail "no page of the run naming its devices: $page"
done
[ "$(ls "$work"/reports/north/*.html | wc -l)" = "$(ls "$work"/reports/north/*.json | wc -l)" ] ||
  fail "a report without its page"
rm -f "$work"/*/slots/*.bin

# 3. The same play again touches no device.
play second <<<"$(sites)"
[ "$rc" = 0 ] || fail "ended with $rc"
expect_recap north changed=0 failed=0
expect_recap harbour changed=0 failed=0
for ip in 127.0.0.10 127.0.0.11 127.0.0.12 127.0.0.20; do shows "\"$ip: already-done\""; done
[ "$(slots)" = 0 ] || fail "a device done with this image was written again"
[ "$(reports north real)" = 2 ] || fail "the second run's report is not kept apart from the first"

# 4. Batches of sites: harbour (now with its second device) goes first and upgrades only
#    the new one; quay, whose devices refuse the password, fails and is not counted as
#    changed (its two canaries refused, the third device is never started); north's batch
#    never starts.
play stop <<<"$(
  host harbour "ftpupg_devices: [127.0.0.20, 127.0.0.21]"
  host quay "ftpupg_devices: [127.0.0.30, 127.0.0.31, 127.0.0.32]"
  host north "$north_devices"
)"
[ "$rc" = 2 ] || fail "ended with $rc, not 2"
expect_recap harbour failed=0
expect_recap quay changed=0 failed=1
[ -z "$(recap north)" ] || fail "north ran after a failed batch"
shows '"127.0.0.20: already-done"'
shows "127.0.0.30 did not finish: password-refused"
shows "127.0.0.31 did not finish: password-refused"
shows "127.0.0.32 did not finish: skipped: "
[ "$(ls "$work/harbour/slots")" = 127.0.0.21.bin ] || fail "harbour: only 127.0.0.21 should be written"
[ ! -e "$work/quay/state/last-report.json" ] || fail "a run that upgraded nothing replaced the site's last report"
rm -f "$work"/*/slots/*.bin

# 5. All sites at once. harbour: its last report has a device that was done before it,
#    still left alone. north: an image that is not the pinned one fails before anything
#    is copied or sent. typo, types: settings are checked on the controller, all mistakes
#    at once. quay: one device has its own password (and a label), so it is done; the
#    other is refused. preview: a dry run without check mode, of every device harbour's
#    discovery finds, with a new image.
north_requests=$(grep -c request "$work/north/sim.log")
harbour_report=$(sha256sum <"$work/harbour/state/last-report.json")
play all -e '{"ftpupg_site_batches": ["100%"], "ftpupg_max_failed_sites_percent": 100}' <<<"$(
  host harbour "ftpupg_devices: [127.0.0.20, 127.0.0.21]"
  host north "$north_devices" "ftpupg_image: $work/image-2.bin" "ftpupg_image_sha256: $sha1"
  host typo "ftpupg_devices: [127.0.0.010, 127.0.0.12, 127.0.0.300, north-gate, '127.0.0.13 ', 127.0.0.11,
                               {ip: 127.0.0.14, label: '#7', pasword: x}, {ip: 127.0.0.12, label: press}]" \
    "ftpupg_jobs: 0" "ftpupg_password: ''" "ftpupg_max_rate: 20 Mbit"
  host types "ftpupg_devices: [127.0.0.10]" "ftpupg_jobs: many" "ftpupg_all_devices: maybe"
  host quay "ftpupg_devices: [{ip: 127.0.0.30, label: quay-crane, password: Quay-Secret-9}, 127.0.0.31]"
  host preview:harbour "ftpupg_all_devices: true" "ftpupg_dry_run: true" "ftpupg_image: $work/image-2.bin"
)"
[ "$rc" = 2 ] || fail "ended with $rc, not 2"
expect_recap harbour changed=0 failed=0
expect_recap north changed=0 failed=1
shows "not the pinned $sha1; nothing was sent"
[ "$(grep -c request "$work/north/sim.log")" = "$north_requests" ] || fail "a request reached north's devices"
[ -z "$(ls -A "$work/north/slots")$(ls -A "$work/harbour/slots")" ] || fail "north or harbour: a device was written"
# Only the argument check ran for these two.
expect_recap typo ok=1 changed=0 failed=1
expect_recap types ok=0 changed=0 failed=1
shows "not device addresses (write each as the device reports it: four decimal parts, no leading zeros): 127.0.0.010, 127.0.0.300, north-gate, 127.0.0.13 ;"
shows "127.0.0.14: unknown keys pasword; 127.0.0.14: the label must be one word"
shows "127.0.0.12: listed twice with another label or password"
shows "ftpupg_password is empty, and some device has no password of its own"
shows "ftpupg_jobs must be 1..256, not 0"
shows "ftpupg_max_rate must be bits per second such as 40M, 800k or 1.5G, not 20 Mbit"
shows "argument 'ftpupg_jobs' is of type"
shows "argument 'ftpupg_all_devices' is of type"
expect_recap quay failed=1
[[ "$(recap quay)" != *" changed=0 "* ]] || fail "quay: 127.0.0.30 was not upgraded"
shows '"127.0.0.30 (quay-crane): done"'
shows "127.0.0.31 did not finish: password-refused"
same_image "$work/image-1.bin" quay 127.0.0.30
[ ! -e "$work/quay/slots/127.0.0.31.bin" ] || fail "127.0.0.31 was written"
expect_recap preview changed=0 failed=0
shows '"127.0.0.20: would-upgrade"'
shows '"127.0.0.21: would-upgrade"'
[ "$(sha256sum <"$work/harbour/state/last-report.json")" = "$harbour_report" ] || fail "a dry run replaced the last report"
! grep -rqsE "Quay-Secret-9|Fleet-Pw-4417" "$work"/*.out "$work/reports" "$work"/*/state "$work/ansible-async" || fail "a password reached the output or a report"


# 6. Signed images: north's image is signed for its model and written; harbour's is not
#    signed and fails the site before any of its devices hears a request.
if command -v minisign >/dev/null; then
  (cd "$work" && minisign -G -W -p signer.pub -s signer.sec >/dev/null &&
    minisign -S -s signer.sec -m image-2.bin -t "model=KR730" >/dev/null) || fail "minisign"
  head -c 70000 /dev/urandom >"$work/image-3.bin"
  harbour_requests=$(grep -c request "$work/harbour/sim.log")
  play signed -e '{"ftpupg_site_batches": ["100%"], "ftpupg_max_failed_sites_percent": 100}' <<<"$(
    host north "$north_devices" "ftpupg_image: $work/image-2.bin" "ftpupg_trusted_keys: [$work/signer.pub]"
    host harbour "ftpupg_devices: [127.0.0.20]" "ftpupg_image: $work/image-3.bin" \
      "ftpupg_trusted_keys: [$work/signer.pub]"
  )"
  [ "$rc" = 2 ] || fail "ended with $rc, not 2"
  expect_recap north failed=0
  expect_recap harbour changed=0 failed=1
  for ip in 127.0.0.10 127.0.0.11 127.0.0.12; do same_image "$work/image-2.bin" north $ip; done
  python3 - "$work/north/state/last-report.json" <<'EOF' || fail "north's report names the signature"
import json, sys
sig = json.load(open(sys.argv[1]))["image"]["signature"]
assert sig["result"] == "verified" and sig["models"] == ["KR730"], sig
EOF
  shows "refused (unsigned)"
  [ "$(grep -c request "$work/harbour/sim.log")" = "$harbour_requests" ] || fail "a request reached harbour's devices"
  [ ! -e "$work/harbour/slots/127.0.0.20.bin" ] || fail "an unsigned image was written"
else
  echo "note: minisign is not installed; the signed-image play is left out"
fi

echo "PASS: check mode, first run, second run unchanged, batches of sites, wrong password, pinned image, settings, own passwords, signed images"
