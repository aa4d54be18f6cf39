#!/bin/bash
# Configures and builds one build tree from a preset of CMakePresets.json:
#   scripts/build.sh [release|asan|coverage|fuzz]   (default release)
# release: build/; asan: ASan+UBSan in build-asan/; coverage: gcov counters in build-coverage/;
# fuzz: a clang build with ASan+UBSan in build-fuzz/ that builds only the libFuzzer programs.
# Their tests: ctest --preset NAME (asan and coverage leave out the no-asan tests).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
kind=${1:-release}
case "$kind" in
  release | asan | coverage | fuzz) ;;
  *) echo "usage: $0 [release|asan|coverage|fuzz]" >&2; exit 2 ;;
esac
flags=()
# ccache, when present, makes rebuilds of several checkouts cheap; it changes no output.
if command -v ccache >/dev/null; then
  flags+=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
  export CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR=1
fi
cd "$root"
cmake --preset "$kind" "${flags[@]}" >/dev/null
cmake --build --preset "$kind" -j "$(nproc)"
