#!/usr/bin/env bash
# Usage: scripts/fuzz.sh [--long] [--seconds N] [target...]
# Builds the libFuzzer targets with clang, AddressSanitizer and UBSan into
# build-fuzz/ and runs each one for a bounded time (60 s; --long: 30 min)
# on its seed corpus from tests/fuzz/corpus. Inputs that find something
# are kept in build-fuzz/findings/; the exit status is 1 then.
# Targets: fuzz_profile fuzz_settings fuzz_integer fuzz_trace (default: all).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$root/build-fuzz"
seconds=60
targets=()
while [ $# -gt 0 ]; do
  case "$1" in
    --long) seconds=1800 ;;
    --seconds) seconds="$2"; shift ;;
    -h|--help) sed -n '2,8p' "$0"; exit 0 ;;
    *) targets+=("$1") ;;
  esac
  shift
done
[ ${#targets[@]} -gt 0 ] || targets=(fuzz_profile fuzz_settings fuzz_integer fuzz_trace)

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DWITH_FUZZ=ON -DSANITIZE=address -DWITH_GUI=OFF -DWITH_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target "${targets[@]}"

mkdir -p "$build/findings"
failed=()
for t in "${targets[@]}"; do
  # New inputs go to the working corpus, which a longer run keeps; the
  # seeds in the source tree are only read.
  work="$build/corpus/$t"
  mkdir -p "$work"
  echo "== $t: ${seconds}s"
  if ! ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
       "$build/fuzz/$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
       -print_final_stats=1 -artifact_prefix="$build/findings/$t-" \
       "$work" "$root/tests/fuzz/corpus/$t" >"$build/findings/$t.log" 2>&1; then
    failed+=("$t")
    grep -E "FUZZ CHECK FAILED|detail:|ERROR:|SUMMARY:|Test unit written" "$build/findings/$t.log" || true
  fi
  grep -E "^stat::number_of_executed_units|^Done" "$build/findings/$t.log" || true
done
# A run that ends on a finding leaves its scratch folder behind.
for d in /dev/shm/serialtcp-fuzz-* /tmp/serialtcp-fuzz-*; do
  [ -d "$d" ] && ! kill -0 "${d##*-}" 2>/dev/null && rm -rf "$d"
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz findings in: ${failed[*]} (inputs and logs in $build/findings/)"
  exit 1
fi
echo "fuzz: no findings"
