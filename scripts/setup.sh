#!/bin/bash
# Installs what a fresh Debian 12 machine lacks to build, test, benchmark and demo ftpupg.
# Idempotent and quiet when everything is already there.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

packages=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-base-dev-tools libgl-dev
  libgtest-dev googletest
  xvfb xauth x11-apps x11-utils xdotool imagemagick
  fonts-liberation fonts-dejavu-core fonts-dejavu-extra
  iproute2 util-linux time procps
  tftpd-hpa tftp-hpa atftp curl libwrap0 libpcre2-8-0
  libcli11-dev nlohmann-json3-dev python3-jsonschema libsodium-dev minisign
  clang libclang-rt-14-dev clang-format clang-tidy
  nodejs npm
  dpkg-dev fakeroot file lintian help2man man-db appstream desktop-file-utils ansible-core python3-apt
  librsvg2-bin chromium
  tshark nftables
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

sudo=""
[ "$(id -u)" = 0 ] || sudo="sudo"

if [ ${#missing[@]} -gt 0 ]; then
  # Node.js may come from elsewhere than Debian; only ask apt for it when no node exists.
  if command -v node >/dev/null && command -v npm >/dev/null; then
    missing=("${missing[@]/nodejs}"); missing=("${missing[@]/npm}")
  fi
  read -r -a missing <<<"${missing[*]}"
fi

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}" >&2
  # Packages must not start daemons (tftpd-hpa would listen on the real network). The
  # policy goes again however the install ends: left behind, it would block every later
  # daemon start on this machine.
  if [ ! -e /usr/sbin/policy-rc.d ]; then
    trap '$sudo rm -f /usr/sbin/policy-rc.d' EXIT
    trap 'exit 1' INT TERM HUP
    printf '#!/bin/sh\nexit 101\n' | $sudo tee /usr/sbin/policy-rc.d >/dev/null
    $sudo chmod +x /usr/sbin/policy-rc.d
  fi
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# The second, independent TFTP server of the interoperability tests comes from npm.
npm_dir="$root/.deps/npm"
if [ ! -f "$npm_dir/node_modules/tftp/package.json" ]; then
  mkdir -p "$npm_dir"
  echo "setup: installing the npm tftp package into .deps/npm" >&2
  (cd "$npm_dir" && npm install --silent --no-audit --no-fund tftp@0.1.2 >/dev/null)
fi

# atftpd, the TFTP server that knows the RFC 7440 window, conflicts with tftpd-hpa as a
# package: its files are unpacked under .deps/atftpd instead of installed.
atftpd_dir="$root/.deps/atftpd"
if [ ! -x "$atftpd_dir/usr/sbin/atftpd" ]; then
  echo "setup: unpacking atftpd into .deps/atftpd" >&2
  tmp=$(mktemp -d)
  if ! (cd "$tmp" && apt-get download -qq atftpd >/dev/null 2>&1); then
    $sudo apt-get update -qq
    (cd "$tmp" && apt-get download -qq atftpd >/dev/null)
  fi
  mkdir -p "$atftpd_dir"
  dpkg-deb -x "$tmp"/atftpd_*.deb "$atftpd_dir"
  rm -rf "$tmp"
fi
