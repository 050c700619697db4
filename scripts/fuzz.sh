#!/usr/bin/env bash
# Runs the libFuzzer targets for a while, all at once, each with its seed corpus.
# Usage: scripts/fuzz.sh [SECONDS] [TARGET...]    (SECONDS defaults to 1800; TARGET is json, host or
# the full target name; all targets when none is given)
# Inputs that reach new code collect under the build directory, so the committed seeds stay as
# they are; crashes, leaks and hangs are saved under fuzz/artifacts/<target>/. The exit status is
# non-zero when any target found something.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

seconds=${1:-1800}
[ $# -gt 0 ] && shift
case "$seconds" in
  '' | *[!0-9]*) echo "usage: $0 [SECONDS] [TARGET...]" >&2; exit 2 ;;
esac
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(json host)

# The same configuration as the sanitizer half of scripts/test.sh, so one build serves both.
build=${P11BRIDGE_FUZZ_BUILD_DIR:-$root/build/sanitize}
command -v clang++ >/dev/null || "$root/scripts/install-deps.sh" test
if [ ! -f "$build/CMakeCache.txt" ]; then
  CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug \
    -DP11BRIDGE_SANITIZE=ON -DP11BRIDGE_FUZZ=ON >/dev/null
fi

names=()
for target in "${targets[@]}"; do
  name=${target#p11bridge_fuzz_}
  [ -d "fuzz/corpus/$name" ] || { echo "no such fuzz target: $target" >&2; exit 2; }
  names+=("$name")
done
cmake --build "$build" -j"$(nproc)" --target "${names[@]/#/p11bridge_fuzz_}"

declare -A max_len=([json]=999 [host]=4096)
pids=()
for name in "${names[@]}"; do
  work="$build/fuzz/found/$name"
  artifacts="$root/fuzz/artifacts/$name"
  mkdir -p "$work" "$artifacts"
  # The first corpus directory receives the new inputs; the committed seeds are only read.
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    "$build/fuzz/p11bridge_fuzz_$name" -max_total_time="$seconds" \
    -max_len="${max_len[$name]:-4096}" -timeout=25 -dict=fuzz/json.dict \
    -artifact_prefix="$artifacts/" -print_final_stats=1 "$work" "fuzz/corpus/$name" \
    >"$build/fuzz/$name.log" 2>&1 &
  pids+=($!)
  echo "fuzzing $name for ${seconds}s; log: $build/fuzz/$name.log"
done

status=0
for i in "${!names[@]}"; do
  name=${names[$i]}
  result=0
  wait "${pids[$i]}" || result=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$build/fuzz/$name.log" | tail -1)
  if [ "$result" -eq 0 ]; then
    echo "$name: ${runs:-?} executions, no finding"
  else
    status=1
    echo "$name: FINDING after ${runs:-?} executions (exit $result); see fuzz/artifacts/$name/"
    grep -E '^(==[0-9]+==ERROR|SUMMARY|host output invariant)' "$build/fuzz/$name.log" || true
  fi
done
exit "$status"
