#!/usr/bin/env bash
# Usage: bench/run.sh [--build DIR] [--quick] [--keep] [--only CASE,...]
# Builds the server and the simulated device (Release, with the Qt panel) into
# build-bench/ unless told otherwise, then runs every benchmark case against
# them, socat and ser2net. Writes bench/RESULTS.md, bench/throughput.png and
# bench/results.json. Takes about 11 minutes after the build; --quick tries the harness in one.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$root/build-bench"
args=()
while (($#)); do
  case "$1" in
    --build) build=$2; shift 2 ;;
    *) args+=("$1"); shift ;;
  esac
done
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DWITH_GUI=ON -DWITH_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target plmx-server quarn-sim
# The plot needs Debian's matplotlib; a python3 found earlier on PATH may lack it.
py=/usr/bin/python3
[[ -x $py ]] || py=python3
exec "$py" "$root/bench/bench.py" --build "$build" "${args[@]}"
