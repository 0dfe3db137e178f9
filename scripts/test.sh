#!/usr/bin/env bash
# Usage: scripts/test.sh [--quick]
# Installs what is missing, builds into build/ and runs the whole suite.
# Then, unless --quick: each fuzz target for a bounded time, the whole suite
# again under AddressSanitizer and UBSan, and the threaded tests under
# ThreadSanitizer (about half an hour on two cores in all).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
quick=0
[ "${1:-}" = "--quick" ] && quick=1

bash "$root/scripts/install-deps.sh"
bash "$root/scripts/build.sh" "$root/build"
ctest --test-dir "$root/build" --output-on-failure -j2 --timeout 900
[ "$quick" = 1 ] && exit 0

bash "$root/scripts/fuzz.sh"
bash "$root/scripts/ci-sanitizers.sh"
