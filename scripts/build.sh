#!/bin/bash
# Configures and builds one build tree: scripts/build.sh [release|asan] (default release).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
kind=${1:-release}
case "$kind" in
  release) dir="$root/build"; flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
  asan)    dir="$root/build-asan"; flags=(-DCMAKE_BUILD_TYPE=Debug -DFTPUPG_SANITIZE=ON) ;;
  *) echo "usage: $0 [release|asan]" >&2; exit 2 ;;
esac
cmake -S "$root" -B "$dir" -G Ninja "${flags[@]}" >/dev/null
cmake --build "$dir" -j "$(nproc)"
