#!/usr/bin/env bash
# Installs whatever the builds and tests need that this machine lacks
# (Debian packages). Safe to run again: installs only what is missing.
#   install-deps.sh [linux|windows|fuzz|all|pictures]   (default: all, which
#   includes the fuzzers' clang and a CUPS for the backend's and the printer application's tests; pictures adds
#   what the dialog screenshots need: a virtual display and its tools)
# windows and all also add Debian's i386 architecture and 32-bit Wine (wine32:i386) for the x86 DLL's tests, where
# the kernel runs 32-bit x86 programs at all (some run none: 32-bit emulation off); elsewhere they say so and go on
# without it, and scripts/test-all.sh skips those tests with a message.
# apt never has the terminal: the same from a terminal, under a time-out, and on CI.
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
wine32=
case $what in
  linux) pkgs=("${linux_pkgs[@]}") ;;
  windows) pkgs=("${linux_pkgs[@]}" "${windows_pkgs[@]}") wine32=wanted ;;
  all) pkgs=("${linux_pkgs[@]}" "${cups_pkgs[@]}" "${windows_pkgs[@]}" "${fuzz_pkgs[@]}") wine32=wanted ;;
  fuzz) pkgs=("${linux_pkgs[@]}" "${fuzz_pkgs[@]}") ;;
  pictures) pkgs=("${linux_pkgs[@]}" "${windows_pkgs[@]}" "${picture_pkgs[@]}") ;;
  *) echo "usage: install-deps.sh [linux|windows|fuzz|all|pictures]" >&2; exit 2 ;;
esac
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
missing=()
for p in "${pkgs[@]}"; do
  installed "$p" || missing+=("$p")
done

# Whether this kernel runs 32-bit x86 programs: a minimal one (an ELF header, one program header and
# "xor ebx,ebx; mov bl,42; mov eax,1; int 0x80") must exit with status 42.
kernel_runs_i386() {
  local probe status=0
  probe=$(mktemp "${TMPDIR:-/tmp}/i386-probe.XXXXXX")
  local elf='\x7fELF\x01\x01\x01\0\0\0\0\0\0\0\0\0\x02\0\x03\0\x01\0\0\0\x54\x80\x04\x08\x34\0\0\0\0\0\0\0\0\0\0\0'
  elf+='\x34\0\x20\0\x01\0\0\0\0\0\0\0\x01\0\0\0\0\0\0\0\0\x80\x04\x08\0\x80\x04\x08\x5f\0\0\0\x5f\0\0\0\x05\0\0\0\0\x10\0\0'
  elf+='\x31\xdb\xb3\x2a\xb8\x01\0\0\0\xcd\x80'
  printf '%b' "$elf" >"$probe"
  chmod +x "$probe"
  "$probe" 2>/dev/null || status=$?
  rm -f "$probe"
  [ "$status" = 42 ]
}
if [ -n "$wine32" ] && ! installed wine32:i386; then
  if [ "$(dpkg --print-architecture)" != amd64 ]; then
    wine32=
  elif ! kernel_runs_i386; then
    echo "install-deps: this kernel runs no 32-bit x86 programs (32-bit emulation off), so 32-bit Wine could not run" \
      "either: wine32:i386 not installed; scripts/test-all.sh skips the x86 DLL's tests" >&2
    wine32=
  fi
else
  wine32=
fi
[ ${#missing[@]} -gt 0 ] || [ -n "$wine32" ] || exit 0

SUDO=; [ "$(id -u)" -eq 0 ] || SUDO=sudo
# apt without the terminal: standard input from /dev/null, in a session of its own. apt-get restores the terminal's
# settings after dpkg has run; in a background process group (as under timeout) that stops it with SIGTTOU for good.
# sudo comes first, so that it can still ask for a password. Another apt on the machine is waited for.
run_apt() {
  local seconds=$1; shift
  $SUDO env DEBIAN_FRONTEND=noninteractive setsid -w timeout --kill-after=30 "$seconds" \
    apt-get -qq -o DPkg::Lock::Timeout=300 "$@" </dev/null
}
if [ -n "$wine32" ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  echo "installing: the i386 architecture" >&2
  $SUDO dpkg --add-architecture i386
fi
# Package indexes fail to download now and then (the i386 ones here have): up to three tries.
for try in 1 2 3; do
  if run_apt 300 update; then break; fi
  if [ "$try" = 3 ]; then
    echo "install-deps: apt-get update failed three times; installing from the indexes there are" >&2
  else
    sleep 5
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}" >&2
  run_apt 900 install -y --no-install-recommends "${missing[@]}" >/dev/null
fi
if [ -n "$wine32" ]; then
  echo "installing: wine32:i386 (32-bit Wine, for the x86 DLL's tests)" >&2
  run_apt 900 install -y --no-install-recommends wine32:i386 >/dev/null ||
    echo "install-deps: wine32:i386 could not be installed; scripts/test-all.sh skips the x86 DLL's tests" >&2
fi
