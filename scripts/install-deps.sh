#!/usr/bin/env bash
# Installs what building, testing and the demo need, and nothing when it is
# all there already (so it also works offline on a prepared machine).
set -euo pipefail

PACKAGES=(
  build-essential cmake g++ pkg-config
  libgtest-dev googletest
  qt6-base-dev qt6-l10n-tools gettext
  python3 python3-matplotlib curl socat ser2net strace
  xvfb xauth trayer xdotool x11-apps imagemagick
  clang libclang-rt-14-dev
)

missing=()
for pkg in "${PACKAGES[@]}"; do
  status=$(dpkg-query -W -f='${db:Status-Status}' "$pkg" 2>/dev/null || true)
  [[ "$status" == installed ]] || missing+=("$pkg")
done

if ((${#missing[@]} == 0)); then
  echo "install-deps: all packages present"
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
SUDO=()
if [[ $(id -u) -ne 0 ]]; then
  command -v sudo >/dev/null || { echo "install-deps: run as root (or install sudo)" >&2; exit 1; }
  SUDO=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
install() { "${SUDO[@]}" apt-get install -y --no-install-recommends "${missing[@]}"; }
# Package lists are fetched once, and only when there are none yet or the
# ones there do not know a package we need.
if ! compgen -G "/var/lib/apt/lists/*_Packages*" >/dev/null; then
  "${SUDO[@]}" apt-get update
  install
elif ! install; then
  "${SUDO[@]}" apt-get update
  install
fi
