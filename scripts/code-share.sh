#!/usr/bin/env bash
# Prints how the project's code divides between tests and everything else, counted as non-blank
# lines of code files tracked by git. Test code is whatever exists only for tests: tests/, the
# fuzz harnesses and their tooling, and any file whose path names it as a test. Data that tests
# read (transcripts, corpora, keys, lockfiles) holds cases, not logic, and is counted apart.
# Usage: scripts/code-share.sh [--limit PERCENT]   (exit 1 when the test share exceeds PERCENT)
set -euo pipefail
cd "$(dirname "$0")/.."
limit=${2:-}
[ "${1:-}" = --limit ] || limit=

classify() {
  local path=$1
  case "$path" in
    docs/*|*.md|*.png|*.css|*.html|*.json.in|.clang-format|.gitignore) echo skip; return ;;
    *package-lock.json|*package.json) echo skip; return ;;
    tests/data/*|tests/*/data/*|fuzz/corpus/*|*.dict|*.supp|*.conv)
      echo data; return ;;
  esac
  local code=no
  case "$path" in
    *.c|*.cc|*.cpp|*.h|*.hpp|*.py|*.js|*.mjs|*.sh|*.cmake|*/CMakeLists.txt|CMakeLists.txt|*.cpp.in|*.h.in)
      code=yes ;;
    *) head -c 2 "$path" 2>/dev/null | grep -q '#!' && code=yes ;;
  esac
  [ "$code" = yes ] || { echo skip; return; }
  case "$path" in
    tests/*|testtoken/*|fuzz/*|scripts/fuzz.sh|*.test.mjs|*.e2e.mjs|*Test.cpp|*_test.*) echo test ;;
    *) echo other ;;
  esac
}

declare -A total=([test]=0 [other]=0 [data]=0)
while IFS= read -r path; do
  [ -f "$path" ] || continue
  kind=$(classify "$path")
  [ "$kind" = skip ] && continue
  lines=$(grep -c '[^[:space:]]' "$path" || true)
  total[$kind]=$((total[$kind] + lines))
done < <(git ls-files --cached --others --exclude-standard)

all=$((total[test] + total[other]))
share=$(awk -v t="${total[test]}" -v a="$all" 'BEGIN { printf "%.1f", a ? 100 * t / a : 0 }')
echo "== Code share =="
printf 'test code:  %6d lines\nother code: %6d lines\ntest share: %6s %% of all code\n' \
  "${total[test]}" "${total[other]}" "$share"
printf 'test data:  %6d lines (transcripts, corpora, keys: cases, counted apart)\n' "${total[data]}"
if [ -n "$limit" ] && awk -v s="$share" -v l="$limit" 'BEGIN { exit !(s > l) }'; then
  echo "test share above the limit of $limit %" >&2
  exit 1
fi
