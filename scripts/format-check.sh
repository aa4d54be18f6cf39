#!/bin/bash
# Fails when a C/C++ file of the tree differs from what .clang-format makes of it; names
# each such file and shows how to fix it. scripts/format-check.sh [FILE...] checks only those.
# Over the whole tree it then runs clang-tidy's checks (.clang-tidy, scripts/tidy-check.py) on
# every file build/ compiles; without build/ it configures one first. FTPUPG_TIDY=0 leaves
# them out; FTPUPG_TIDY_BUILD=DIR takes another build tree's compile_commands.json.
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

[ $# -eq 0 ] && [ "${FTPUPG_TIDY:-1}" = 1 ] || exit 0
tidy_build=${FTPUPG_TIDY_BUILD:-$root/build}
if [ ! -f "$tidy_build/compile_commands.json" ]; then
  if [ -n "${FTPUPG_TIDY_BUILD:-}" ]; then
    echo "format-check: no $tidy_build/compile_commands.json (configure that build first)" >&2
    exit 2
  fi
  echo "format-check: no build/ yet: configuring it for clang-tidy (scripts/build.sh release builds it)"
  cmake --preset release >/dev/null
fi
exec python3 "$root/scripts/tidy-check.py" "$tidy_build" --jobs 2
