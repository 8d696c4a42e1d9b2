#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks to build and test the toolkit:
# native gcc/clang, both mingw-w64 cross compilers, Wine 64-bit, Xvfb, test
# libraries, and a cached copy of libjpeg-turbo's Debian source so that the
# mingw builds can compile it without network access later.
#
# Idempotent: when every package and the source cache are present it returns
# within a second.  Environment:
#   KV_DEPS_SRC_DIR  where the downloaded sources go (default build/_deps/src)
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
SRC_CACHE=${KV_DEPS_SRC_DIR:-$ROOT/build/_deps/src}
SRC_LIST=/etc/apt/sources.list.d/kv-bookworm-src.sources

PACKAGES=(
  cmake ninja-build g++ dpkg-dev
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix
  wine64 xvfb imagemagick x11-apps
  nlohmann-json3-dev googletest libbenchmark-dev libjpeg62-turbo-dev
  clang libclang-rt-14-dev
  # wine64 only recommends these; installed without recommends, Wine lacks
  # /usr/bin/wine, its own fonts (dialogs would show no text) and the X
  # extensions its display driver loads.  wine32 cannot be installed here.
  wine fonts-wine libxrender1 libxrandr2 libxcursor1 libxi6 libxcomposite1
  libxinerama1 libxfixes3 libxxf86vm1
)

log() { printf '[setup] %s\n' "$*"; }

SUDO=
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { log "must run as root (or with sudo available)"; exit 1; }
  SUDO=sudo
fi
export DEBIAN_FRONTEND=noninteractive

missing_packages() {
  local p
  for p in "${PACKAGES[@]}"; do
    if ! dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$'; then
      printf '%s\n' "$p"
    fi
  done
}

have_jpeg_source() {
  compgen -G "$SRC_CACHE/libjpeg-turbo_*.orig.tar.*" >/dev/null &&
    compgen -G "$SRC_CACHE/libjpeg-turbo_*.dsc" >/dev/null
}

# A mirror that is half-way through a sync makes `apt-get update` fail even
# though the main archive is fine; retry a little, then go on regardless.
apt_update() {
  local i
  for i in 1 2 3; do
    if $SUDO apt-get update -q; then return 0; fi
    log "apt-get update failed (attempt $i); retrying"
    sleep 3
  done
  log "apt-get update kept failing; continuing with the indexes we have"
}

ensure_deb_src() {
  if grep -rqsE '^(Types:.*deb-src|deb-src )' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    return 1  # nothing added
  fi
  log "adding a deb-src entry for bookworm main ($SRC_LIST)"
  $SUDO tee "$SRC_LIST" >/dev/null <<'SRC'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
  return 0
}

mapfile -t MISSING < <(missing_packages)
if [ "${#MISSING[@]}" -eq 0 ] && have_jpeg_source; then
  log "all packages and the libjpeg-turbo source are present; nothing to do"
  exit 0
fi

need_update=0
[ "${#MISSING[@]}" -gt 0 ] && need_update=1
if ! have_jpeg_source && ensure_deb_src; then need_update=1; fi
# apt-cache has no source index yet on a machine that never had deb-src.
if ! have_jpeg_source && ! compgen -G '/var/lib/apt/lists/*_source_Sources*' >/dev/null; then
  need_update=1
fi
[ "$need_update" -eq 1 ] && apt_update

if [ "${#MISSING[@]}" -gt 0 ]; then
  log "installing: ${MISSING[*]}"
  $SUDO apt-get install -y -q --no-install-recommends "${MISSING[@]}"
fi

if ! have_jpeg_source; then
  log "downloading libjpeg-turbo source into $SRC_CACHE"
  mkdir -p "$SRC_CACHE"
  for i in 1 2 3; do
    (cd "$SRC_CACHE" && apt-get source --download-only -q libjpeg-turbo) && have_jpeg_source && break
    log "apt-get source failed (attempt $i)"
    sleep 3
  done
  have_jpeg_source || { log "libjpeg-turbo source did not arrive in $SRC_CACHE"; exit 1; }
fi

mapfile -t STILL < <(missing_packages)
if [ "${#STILL[@]}" -gt 0 ]; then
  log "still missing after install: ${STILL[*]}"
  exit 1
fi
log "done"
