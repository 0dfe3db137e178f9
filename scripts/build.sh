#!/usr/bin/env bash
# Usage: scripts/build.sh [build-dir] [extra cmake arguments...]
# Configures (RelWithDebInfo unless told otherwise) and builds with two jobs.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-"$root/build"}
shift || true
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
cmake --build "$build" -j2
