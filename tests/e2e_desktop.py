"""The program on a real (virtual) X display with a tray: scripts/screenshots.sh
checks the window, the tray icon, the status on a request, the tray menu and
"Close Server". Skipped when Xvfb, trayer or xdotool are not installed.

Run as: python3 e2e_desktop.py <build dir>
"""
import os
import subprocess
import sys
import tempfile

SKIPPED = 77

build = os.path.abspath(sys.argv[1])
script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "scripts", "screenshots.sh")
with tempfile.TemporaryDirectory(prefix="plmx-shots-") as pictures:
    result = subprocess.run(["bash", script, build, pictures], timeout=600)
    if result.returncode == SKIPPED:
        print("skipped: no virtual display tools")
        sys.exit(0)
    assert result.returncode == 0, "desktop check failed (%d)" % result.returncode
    for name in ("window.png", "tray-menu.png"):
        assert os.path.getsize(os.path.join(pictures, name)) > 0, name
print("ok desktop")
