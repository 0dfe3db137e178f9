#!/usr/bin/env bash
# Usage: scripts/ci-sanitizers.sh [address|thread]...
# Builds the project with AddressSanitizer and UBSan into build-asan/ and
# runs the whole suite there, then with ThreadSanitizer into build-tsan/ and
# runs it again without the soak. Default: both, in that order.
# Sanitizer reports fail the run: the gtest executables exit non-zero, and
# the end-to-end tests read the server's stderr for reports.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
kinds=("$@")
[ ${#kinds[@]} -gt 0 ] || kinds=(address thread)

# The soak repeats one exchange many times; the address run covers it,
# and under ThreadSanitizer it would only take long.
tsan_skip='^e2e_soak$'

for kind in "${kinds[@]}"; do
  case "$kind" in
    address)
      build="$root/build-asan"
      export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:detect_stack_use_after_return=1
      # Leaks of the system's font library, which Qt loads and never frees.
      mkdir -p "$build"
      printf 'leak:libfontconfig\n' >"$build/lsan.supp"
      export LSAN_OPTIONS="suppressions=$build/lsan.supp"
      export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
      exclude=''
      ;;
    thread)
      build="$root/build-tsan"
      # Reports do not stop the program; the tests look for them.
      export TSAN_OPTIONS=second_deadlock_stack=1:halt_on_error=0:exitcode=66
      exclude="$tsan_skip"
      ;;
    *) echo "unknown sanitizer: $kind (address or thread)" >&2; exit 2 ;;
  esac
  echo "== $kind: building in $build"
  bash "$root/scripts/build.sh" "$build" -DSANITIZE="$kind"
  echo "== $kind: testing"
  if [ -n "$exclude" ]; then
    ctest --test-dir "$build" --output-on-failure -j2 --timeout 900 -E "$exclude"
  else
    ctest --test-dir "$build" --output-on-failure -j2 --timeout 900
  fi
done
