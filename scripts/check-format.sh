#!/usr/bin/env bash
# Fails, naming the files, when a source file is not as .clang-format formats it. To fix:
#   scripts/check-format.sh --fix
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(find app bench client config ecr libs log platform scale tests tools ui \
                          -name '*.cpp' -o -name '*.h' | sort)
if [ "${1:-}" = --fix ]; then
  clang-format -i "${files[@]}"
  exit 0
fi
bad=()
for f in "${files[@]}"; do
  clang-format --dry-run -Werror "$f" >/dev/null 2>&1 || bad+=("$f")
done
if [ ${#bad[@]} -gt 0 ]; then
  echo "check-format: not formatted (run scripts/check-format.sh --fix):" >&2
  printf '  %s\n' "${bad[@]}" >&2
  exit 1
fi
