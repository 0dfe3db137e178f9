#!/usr/bin/env bash
# Usage: scripts/demo.sh [--once]
# Builds everything, puts the simulated Quarn device on COM1, starts the
# server and shows a page fetched through it. Runs until Ctrl+C; with --once
# it fetches the page once and exits (non-zero when that failed).
set -euo pipefail

once=0
for arg in "$@"; do
  case "$arg" in
    --once) once=1 ;;
    *) echo "usage: $0 [--once]" >&2; exit 2 ;;
  esac
done

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="${BUILD_DIR:-$root/build}"  # BUILD_DIR: try it in another folder

bash "$root/scripts/install-deps.sh"
bash "$root/scripts/build.sh" "$build"

sim_pid=""
server_pid=""
stop() {
  if [[ -n "$1" ]]; then
    kill "$1" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
  fi
}
cleanup() {
  trap - EXIT INT TERM
  stop "$server_pid"
  stop "$sim_pid"  # removes its link on the way out
}
trap cleanup EXIT
trap 'echo; echo "Stopping."; exit 0' INT TERM

# The device first, so the server finds its COM port at start-up.
sim_out="$build/quarn-sim.out"
: >"$sim_out"
"$build/quarn-sim" --link "$build/dosdevices/com1" --log "$build/quarn-sim.log" >"$sim_out" &
sim_pid=$!
for _ in $(seq 100); do
  grep -q '^linked ' "$sim_out" && break
  kill -0 "$sim_pid" 2>/dev/null || { echo "quarn-sim did not start; see $build/quarn-sim.log" >&2; exit 1; }
  sleep 0.1
done
grep '^linked ' "$sim_out" || { echo "quarn-sim did not report its line" >&2; exit 1; }

ini="$build/Lantor.ini"
if [[ ! -f "$ini" ]]; then
  cat >"$ini" <<'INI'
[CommPortParams]
ComPort=1
ComSpeed=115200
SentDelay=1
CtsFlowEnable=0
DontCloseCommPort=0
[TcpIpParams]
TcpIpPort=5000
[Debug]
Verbose=0
INI
  echo "Wrote $ini (COM1, TCP port 5000)"
fi
port=$(tr -d '\r' <"$ini" | sed -n 's/^[Tt][Cc][Pp][Ii][Pp][Pp][Oo][Rr][Tt][[:space:]]*=[[:space:]]*\([0-9]*\).*/\1/p' | head -n1)
port=${port:-5000}

if [[ -z "${DISPLAY:-}" && -z "${WAYLAND_DISPLAY:-}" ]]; then
  export QT_QPA_PLATFORM=offscreen  # no desktop: run without windows
fi
server=""
for candidate in "$build/plmx-server" "$build/tests/bridge-demo"; do
  if [[ -x "$candidate" ]]; then server=$candidate; break; fi
done
if [[ -z "$server" ]]; then
  echo "No server program was built yet (looked for $build/plmx-server and $build/tests/bridge-demo)." >&2
  exit 1
fi
server_log="$build/demo-server.log"
"$server" >"$server_log" 2>&1 &
server_pid=$!
echo "Started $server (trace in $server_log)"

url="http://localhost:$port/"
echo "Open http://localhost:$port in a browser (or: curl $url)"

page=""
for _ in $(seq 30); do
  if page=$(curl -sS --max-time 20 "$url" 2>/dev/null) && [[ -n "$page" ]]; then break; fi
  page=""
  kill -0 "$server_pid" 2>/dev/null || { echo "The server stopped; see $server_log" >&2; exit 1; }
  sleep 1
done
if [[ "$page" != *Quarn* ]]; then
  echo "Fetching $url failed; see $server_log and $build/quarn-sim.log" >&2
  exit 1
fi
echo "----- $url -----"
printf '%s\n' "$page"
echo "-----"

if ((once)); then
  echo "Demo OK."
  exit 0
fi
echo "Running; press Ctrl+C to stop."
wait "$server_pid" || true
echo "The server ended."
