#!/usr/bin/env bash
# Installs whatever the builds and tests need that this machine lacks
# (Debian packages). Safe to run again: installs only what is missing.
#   install-deps.sh [linux|windows|fuzz|all|pictures]   (default: all, which
#   includes the fuzzers' clang and a CUPS for the backend's and the printer application's tests; pictures adds
#   what the dialog screenshots need: a virtual display and its tools)
set -euo pipefail
what=${1:-all}
linux_pkgs=(cmake ninja-build g++ googletest libbenchmark-dev binutils-mingw-w64-x86-64 netbase procps tmux libcups2-dev
  zlib1g-dev libpng-dev libjpeg-dev ghostscript pkg-config libpappl-dev)
# A real CUPS for the backend's and the printer application's tests: cupsd, its clients and conformance files,
# filters for PDF jobs; pdftops for the printer application's PDF jobs; ip for its test's network namespace.
# The Debian package's test: cpack's dependency list (dpkg-shlibdeps) and lintian. The release page's test: a browser
# driven headless.
cups_pkgs=(cups-client cups-daemon cups-ipp-utils cups-core-drivers cups-filters ghostscript poppler-utils iproute2
  dpkg-dev lintian chromium chromium-driver python3-selenium curl)
windows_pkgs=(g++-mingw-w64-x86-64 g++-mingw-w64-i686 binutils-mingw-w64 wine wine64)
picture_pkgs=(xvfb imagemagick x11-utils)
fuzz_pkgs=(clang libclang-rt-14-dev)
case $what in
  linux) pkgs=("${linux_pkgs[@]}") ;;
  windows) pkgs=("${linux_pkgs[@]}" "${windows_pkgs[@]}") ;;
  all) pkgs=("${linux_pkgs[@]}" "${cups_pkgs[@]}" "${windows_pkgs[@]}" "${fuzz_pkgs[@]}") ;;
  fuzz) pkgs=("${linux_pkgs[@]}" "${fuzz_pkgs[@]}") ;;
  pictures) pkgs=("${linux_pkgs[@]}" "${windows_pkgs[@]}" "${picture_pkgs[@]}") ;;
  *) echo "usage: install-deps.sh [linux|windows|fuzz|all|pictures]" >&2; exit 2 ;;
esac
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}" >&2
  SUDO=; [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
