#!/bin/bash
# Sets up, builds and runs every test: the release build first, then the ASan+UBSan build and
# the clang build of the fuzzers. FTPUPG_SKIP_ASAN=1 runs only the release build; FTPUPG_SKIP_PACKAGE=1 skips the package check;
# The C/C++ formatting is checked first (scripts/format-check.sh; FTPUPG_FORMAT_CHECK=0 skips it).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
if [ "${FTPUPG_FORMAT_CHECK:-1}" = 1 ]; then "$root/scripts/format-check.sh"; fi
"$root/scripts/build.sh" release
(cd "$root" && ctest --preset release -j "$(nproc)")
# The Debian package: built, installed, checked, played with Ansible, purged again.
[ "${FTPUPG_SKIP_PACKAGE:-0}" = 1 ] || "$root/scripts/package-check.sh"
if [ "${FTPUPG_SKIP_ASAN:-0}" != 1 ]; then
  "$root/scripts/build.sh" asan
  (cd "$root" && ctest --preset asan -j "$(nproc)")
  # The fuzzers: a clang build of them alone, each run for a short bounded while.
  "$root/scripts/build.sh" fuzz
  (cd "$root" && ctest --preset fuzz -j "$(nproc)")
fi
