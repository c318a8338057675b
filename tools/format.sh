#!/usr/bin/env bash
# Formats every tracked C++ source and header with the repository's .clang-format.
#   tools/format.sh           rewrites the files that differ
#   tools/format.sh --check   changes nothing; lists the files that differ and fails if any do
set -euo pipefail
cd "$(dirname "$0")/.."
command -v clang-format >/dev/null || { echo "clang-format is not installed" >&2; exit 2; }

mapfile -t files < <(git ls-files -- '*.h' '*.cpp')
if [ "${1:-}" = "--check" ]; then
  drift=()
  for file in "${files[@]}"; do
    clang-format --dry-run -Werror "$file" >/dev/null 2>&1 || drift+=("$file")
  done
  if [ ${#drift[@]} -gt 0 ]; then
    echo "formatting differs from .clang-format in ${#drift[@]} file(s) (run tools/format.sh):" >&2
    printf '  %s\n' "${drift[@]}" >&2
    exit 1
  fi
  echo "formatting: ${#files[@]} files match .clang-format"
else
  clang-format -i "${files[@]}"
fi
