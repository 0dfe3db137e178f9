#!/bin/bash
# Runs the program on a virtual X display with a tray (Xvfb, trayer, icewm
# when installed) against the simulated device, checks what a user sees, and
# takes the README's pictures:
#   - the window comes up titled "Disconnected" and the tray icon embeds;
#   - a browser request turns the title "Connected" and back;
#   - the tray menu opens on a right click, and "Close Server" ends the
#     program with status 0 and its settings written.
# Pictures: <out>/window.png and <out>/tray-menu.png.
#
# usage: scripts/screenshots.sh [build dir] [picture dir]
# Exit status 77 when a tool is missing (a test runner counts it as skipped).
set -u

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$(cd "${1:-$ROOT/build}" && pwd)
OUT=${2:-$ROOT/docs}
LIMIT=900  # tenths of a second for each wait; generous for a loaded machine (sanitizer builds beside other tests)

for tool in Xvfb trayer xdotool xwininfo import curl; do
    command -v "$tool" >/dev/null || { echo "skipped: $tool is not installed"; exit 77; }
done
for file in plmx-server plmx-server-gui quarn-sim; do
    [ -x "$BUILD/$file" ] || { echo "missing $BUILD/$file"; exit 1; }
done

WORK=$(mktemp -d)
PIDS=()
cleanup() {
    for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null; done
    wait 2>/dev/null
    rm -rf "$WORK"
}
trap cleanup EXIT

fail() { echo "FAILED: $*"; exit 1; }
# wait_for WHAT COMMAND...: runs the command every tenth of a second until it succeeds.
wait_for() {
    local what=$1; shift
    for _ in $(seq "$LIMIT"); do "$@" >/dev/null 2>&1 && return 0; sleep 0.1; done
    fail "timed out waiting for $what"
}

# The program as installed: its own folder with the settings, the
# catalogues and the device links.
cp "$BUILD/plmx-server" "$BUILD/plmx-server-gui" "$WORK/"
[ -d "$BUILD/locale" ] && cp -r "$BUILD/locale" "$WORK/"
mkdir "$WORK/dosdevices"
# The usual port when it is free, so the pictures show what a user sees.
PORT=$(python3 -c '
import socket
s = socket.socket()
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
try:
    s.bind(("0.0.0.0", 5000))
except OSError:
    s.bind(("0.0.0.0", 0))
print(s.getsockname()[1])')
printf '[CommPortParams]\nComPort=1\n[TcpIpParams]\nTcpIpPort=%s\n' "$PORT" >"$WORK/Lantor.ini"

# The display, its tray and (if there is one) a window manager.
exec 3>"$WORK/display"
Xvfb -displayfd 3 -screen 0 640x480x24 -nolisten tcp >"$WORK/xvfb.log" 2>&1 &
PIDS+=($!)
exec 3>&-
wait_for "the X server" test -s "$WORK/display"
export DISPLAY=":$(cat "$WORK/display")"
unset WAYLAND_DISPLAY QT_QPA_PLATFORM
if command -v icewm >/dev/null; then
    # Title bars only: its own task bar would take the tray from trayer.
    printf 'ShowTaskBar=0\nTaskBarEnableSystemTray=0\n' >"$WORK/icewm.prefs"
    icewm -c "$WORK/icewm.prefs" >"$WORK/icewm.log" 2>&1 &
    PIDS+=($!)
fi
trayer --edge top --align right --widthtype request --height 24 --SetDockType true \
    --transparent false >"$WORK/trayer.log" 2>&1 &
PIDS+=($!)
wait_for "the tray" xdotool search --classname trayer

# The device answers after a pause, so the connected state lasts a moment.
"$BUILD/quarn-sim" --link "$WORK/dosdevices/com1" --delay-ms 1500 >"$WORK/sim.log" 2>&1 &
PIDS+=($!)
wait_for "the simulated device" test -e "$WORK/dosdevices/com1"

(cd "$WORK" && exec ./plmx-server) >"$WORK/server.out" 2>"$WORK/server.err" &
SERVER=$!
PIDS+=($SERVER)

title_is() { xdotool search --name "^$1\$"; }
wait_for 'the window titled "Disconnected"' title_is Disconnected
WINDOW=$(title_is Disconnected | head -1)

# The tray icon: the program's window inside trayer's panel, with its place
# on the screen ("+x+y" at the end of the line).
tray_icon() {
    xwininfo -root -tree | awk '
        /"panel": \("panel" "trayer"\)/ { inpanel = 1; next }
        inpanel && /\("plmx-server"/ { print $(NF-1), $NF; exit }'
}
wait_for "the tray icon" test -n "$(tray_icon)"
read -r SIZE POS <<<"$(tray_icon)"
W=${SIZE%%x*}; H=${SIZE#*x}; H=${H%%+*}
X=$(echo "$POS" | cut -d+ -f2); Y=$(echo "$POS" | cut -d+ -f3)

# A request: "Connected" while it is served, "Disconnected" after.
curl -s -m 60 "http://127.0.0.1:$PORT/" >"$WORK/page.html" &
CURL=$!
wait_for 'the title "Connected"' title_is Connected
wait "$CURL" || fail "the request failed"
grep -q "<html" "$WORK/page.html" || grep -q "HTTP" "$WORK/page.html" || fail "the page did not arrive"
wait_for 'the title "Disconnected" again' title_is Disconnected

mkdir -p "$OUT"
import -frame -window "$WINDOW" "$OUT/window.png" || fail "cannot take the window picture"

# The tray menu at the icon: the program's popup, wider than the icon.
menu_geometry() {
    xwininfo -root -tree | awk '/"plmx-server": \("plmx-server" "plmx-server"\)/ {
        split($(NF-1), g, "x"); if (g[1] + 0 >= 60) { print $(NF-1), $NF; exit } }'
}
xdotool mousemove $((X + W / 2)) $((Y + H / 2)) click 3
wait_for "the tray menu" test -n "$(menu_geometry)"
read -r MSIZE MPOS <<<"$(menu_geometry)"
MW=${MSIZE%%x*}; MH=${MSIZE#*x}; MH=${MH%%+*}
MX=$(echo "$MPOS" | cut -d+ -f2); MY=$(echo "$MPOS" | cut -d+ -f3)
SCREEN_W=$(xwininfo -root | awk '/Width:/ {print $NF}')
LEFT=$((MX > 40 ? MX - 40 : 0))
import -window root -crop "$((SCREEN_W - LEFT))x$((MY + MH + 12))+$LEFT+0" "$OUT/tray-menu.png" \
    || fail "cannot take the menu picture"

# "Close Server", the item above the last, chosen by keyboard.
xdotool key Up Up Return

for _ in $(seq "$LIMIT"); do kill -0 "$SERVER" 2>/dev/null || break; sleep 0.1; done
kill -0 "$SERVER" 2>/dev/null && fail "Close Server did not end the program"
wait "$SERVER"; STATUS=$?
[ "$STATUS" -eq 0 ] || fail "the program ended with status $STATUS: $(cat "$WORK/server.err")"
grep -q "Verbose=0" "$WORK/Lantor.ini" || fail "the settings file was not written"
echo "ok: window, tray icon, status and menu; pictures in $OUT"
