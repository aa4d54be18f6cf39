#!/bin/bash
# Writes the table of targets the build generated (BUILD_DIR/targets.md, from CMake) into
# docs/design.md. usage: scripts/targets-table.sh [BUILD_DIR]   (default build/)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
cmake -S "$root" -B "$build" >/dev/null
cmake -DTABLE="$build/targets.md" -DDOC="$root/docs/design.md" -DUPDATE=ON -P "$root/cmake/CheckTargetsTable.cmake"
