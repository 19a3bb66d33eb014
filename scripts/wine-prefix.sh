#!/usr/bin/env bash
# Source this: makes a fresh, headless Wine prefix and starts one persistent
# wineserver for it. Stop it with wine_prefix_stop (a trap does it on exit).
#   WINEPREFIX          where the prefix goes (default: a new temporary directory)
#   UMPD_WINE_GRAPHICS  null (default: windows without a display) or x11 (on
#                       $DISPLAY, Wine drawing the window frames itself)
if [ -z "${WINEPREFIX:-}" ]; then
  WINEPREFIX=$(mktemp -d /tmp/umpd-wine.XXXXXX)
  UMPD_WINE_OWN_PREFIX=1
fi
export WINEPREFIX
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64
# Wine's loaders by name: Debian's "wine" runs the 32-bit loader whenever wine32 is installed, and it alone would
# reach only the 32-bit view of the registry. Programs of both kinds run in the one 64-bit prefix.
WINE64_LOADER=/usr/lib/wine/wine64
# shellcheck disable=SC2034 # for the scripts that source this (32-bit programs)
WINE32_LOADER=/usr/lib/wine/wine

wine_prefix_stop() {
  wineserver -k 2>/dev/null || true
  if [ -n "${UMPD_WINE_OWN_PREFIX:-}" ]; then rm -rf "$WINEPREFIX"; fi
}

# A Wine program that ends when it is done: bounded, input and output elsewhere, and in a session of its own, so
# that neither it nor the services it starts have the terminal.
#   wine_quiet SECONDS PROGRAM ARGS...
wine_quiet() {
  local seconds=$1; shift
  setsid -w timeout "$seconds" "$WINE64_LOADER" "$@" </dev/null >/dev/null 2>&1
}

wine_prefix_start() {
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    wine_quiet 300 wineboot -i
    if [ "${UMPD_WINE_GRAPHICS:-null}" = x11 ]; then
      # No window manager under Xvfb: Wine draws captions and borders.
      wine_quiet 60 reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N /f
    else
      # No display here: the null graphics driver shows windows headless.
      wine_quiet 60 reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f
    fi
  fi
  wineserver -k 2>/dev/null || true
  timeout 60 wineserver -w || true
  setsid wineserver -p </dev/null
  trap wine_prefix_stop EXIT
  # Start the prefix's services now, detached from any output: a test that
  # started them would leave them holding its output pipe open.
  wine_quiet 120 wineboot
  # No crash debugger: winedbg --auto can hang on a headless machine until
  # the caller's time-out, so a process that stops at a Wine stub would hold
  # its test. A debugger that exits at once lets such a process end at once.
  # 64-bit and 32-bit programs each read their own view of the key.
  local aedebug='HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' view
  for view in 64 32; do
    wine_quiet 60 reg add "$aedebug" /v Debugger /d 'C:\windows\system32\cmd.exe /c exit %ld %ld' /reg:$view /f
    setsid -w timeout 60 "$WINE64_LOADER" reg query "$aedebug" /v Debugger /reg:$view \
      </dev/null >"$WINEPREFIX/aedebug-$view.txt" 2>&1 || true
    grep -q 'cmd\.exe /c exit' "$WINEPREFIX/aedebug-$view.txt" ||
      { echo "wine-prefix: the crash debugger is still on in the $view-bit view of the registry" >&2; return 1; }
  done
}
