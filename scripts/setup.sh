#!/usr/bin/env bash
# Installs the Debian packages that building and testing need. Quiet and quick
# when everything is already there; safe to run again.
set -euo pipefail

PKGS=(
  cmake g++ make pkg-config git binutils
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  crossbuild-essential-armhf qemu-user
  libavcodec-dev libavutil-dev libswscale-dev
  libasound2-dev libasound2-plugins alsa-utils
  libopus-dev libfdk-aac-dev opus-tools
  clang libclang-rt-14-dev
  sox ffmpeg v4l-utils
  libfuse3-dev fuse3
  gcovr
  musl-tools
  gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good
)

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"

# fdk-aac lives in Debian's non-free component; add it in a file of our own,
# reusing the archive address the machine already trusts.
NONFREE=/etc/apt/sources.list.d/kep-non-free.sources
if [ ! -f "$NONFREE" ]; then
  uri=$(sed -n 's/^URIs:[[:space:]]*//p' /etc/apt/sources.list.d/debian.sources 2>/dev/null | head -n1)
  [ -n "$uri" ] || uri=$(awk '/^deb /{print $2; exit}' /etc/apt/sources.list 2>/dev/null)
  suite=$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")
  $SUDO tee "$NONFREE" >/dev/null <<SRC
Types: deb
URIs: $uri
Suites: $suite $suite-updates
Components: non-free
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
  NEED_UPDATE=1
fi

# The camera's audio libraries for the cross build: Debian's armhf packages
# beside the PC's own (multiarch).
if ! dpkg --print-foreign-architectures | grep -qx armhf; then
  $SUDO dpkg --add-architecture armhf
  NEED_UPDATE=1
fi
PKGS+=(libasound2-dev:armhf libopus-dev:armhf libfdk-aac-dev:armhf)
# musl for the camera's ARM: a small C library like the camera's own.
PKGS+=(musl-dev:armhf)

missing=()
for p in "${PKGS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq >/dev/null
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
elif [ "${NEED_UPDATE:-0}" = 1 ]; then
  $SUDO apt-get update -qq >/dev/null
fi
