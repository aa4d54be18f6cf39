#!/bin/bash
# Fails when a C/C++ file of the tree differs from what .clang-format makes of it; names
# each such file and shows how to fix it. scripts/format-check.sh [FILE...] checks only those.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

# The style file is written for clang-format 14 (Debian 12); newer ones read it too.
formatter=""
for candidate in clang-format-14 clang-format; do
  if command -v "$candidate" >/dev/null; then formatter=$candidate; break; fi
done
if [ -z "$formatter" ]; then
  echo "format-check: clang-format not found (scripts/setup.sh installs it)" >&2
  exit 2
fi

if [ $# -gt 0 ]; then
  files=("$@")
elif git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  mapfile -t files < <(git ls-files -- '*.c' '*.h' '*.cpp' '*.hpp')
else
  mapfile -t files < <(find . -path ./build -prune -o -path './build-*' -prune -o -path ./.deps -prune -o \
    -type f \( -name '*.c' -o -name '*.h' -o -name '*.cpp' -o -name '*.hpp' \) -print | sed 's|^\./||' | sort)
fi

unformatted=()
for f in "${files[@]}"; do
  [ -f "$f" ] || continue
  if ! "$formatter" --style="file:$root/.clang-format" --dry-run -Werror "$f" >/dev/null 2>&1; then
    unformatted+=("$f")
  fi
done

if [ ${#unformatted[@]} -gt 0 ]; then
  echo "format-check: ${#unformatted[@]} of ${#files[@]} files are not formatted:" >&2
  printf '  %s\n' "${unformatted[@]}" >&2
  echo "fix with: $formatter -i --style=file FILE..." >&2
  exit 1
fi
echo "format-check: ${#files[@]} files formatted"
