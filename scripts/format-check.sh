#!/usr/bin/env bash
# Fails, naming the files, when a C++ source of the repository does not
# follow .clang-format. `scripts/format-check.sh --fix` formats them instead.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  mapfile -t files < <(git ls-files --cached --others --exclude-standard -- '*.cpp' '*.h')
else
  mapfile -t files < <(find . -path './build*' -prune -o \( -name '*.cpp' -o -name '*.h' \) -print | sort)
fi
if [ "${1:-}" = --fix ]; then
  clang-format -i -- "${files[@]}"
  exit 0
fi
# One run over all files; each finding starts with "file:line:column: error".
if ! report=$(clang-format --dry-run --Werror -- "${files[@]}" 2>&1); then
  echo "format-check.sh: not formatted as .clang-format says (scripts/format-check.sh --fix formats them):" >&2
  grep -o '^[^ :]*:[0-9]*:[0-9]*: error' <<<"$report" | cut -d: -f1 | sort -u | sed 's/^/  /' >&2
  exit 1
fi
echo "format-check.sh: ${#files[@]} files follow .clang-format"
