#!/bin/bash
# Configures and builds one build tree: scripts/build.sh [release|asan|fuzz] (default release).
# fuzz: a clang build with ASan+UBSan in build-fuzz/ that builds only the libFuzzer programs.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
kind=${1:-release}
targets=()
case "$kind" in
  release) dir="$root/build"; flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
  asan)    dir="$root/build-asan"; flags=(-DCMAKE_BUILD_TYPE=Debug -DFTPUPG_SANITIZE=ON) ;;
  fuzz)    dir="$root/build-fuzz"; targets=(--target fuzzers)
           flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DFTPUPG_SANITIZE=ON -DFTPUPG_FUZZ=ON
                  -DCMAKE_C_COMPILER="$(command -v clang-14 || command -v clang)"
                  -DCMAKE_CXX_COMPILER="$(command -v clang++-14 || command -v clang++)") ;;
  *) echo "usage: $0 [release|asan|fuzz]" >&2; exit 2 ;;
esac
# ccache, when present, makes rebuilds of several checkouts cheap; it changes no output.
if command -v ccache >/dev/null; then
  flags+=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
  export CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR=1
fi
cmake -S "$root" -B "$dir" -G Ninja "${flags[@]}" >/dev/null
cmake --build "$dir" -j "$(nproc)" "${targets[@]}"
