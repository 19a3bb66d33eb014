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

wine_prefix_stop() {
  wineserver -k 2>/dev/null || true
  if [ -n "${UMPD_WINE_OWN_PREFIX:-}" ]; then rm -rf "$WINEPREFIX"; fi
}

wine_prefix_start() {
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    timeout 300 wineboot -i </dev/null >/dev/null 2>&1
    if [ "${UMPD_WINE_GRAPHICS:-null}" = x11 ]; then
      # No window manager under Xvfb: Wine draws captions and borders.
      timeout 60 wine reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N /f </dev/null >/dev/null 2>&1
    else
      # No display here: the null graphics driver shows windows headless.
      timeout 60 wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f </dev/null >/dev/null 2>&1
    fi
  fi
  wineserver -k 2>/dev/null || true
  timeout 60 wineserver -w || true
  wineserver -p
  # Start the prefix's services now, detached from any output: a test that
  # started them would leave them holding its output pipe open.
  timeout 120 /usr/lib/wine/wine64 wineboot </dev/null >/dev/null 2>&1
  # No crash debugger: winedbg --auto can hang on a headless machine until
  # the caller's time-out, so a process that stops at a Wine stub would hold
  # its test. A debugger that exits at once lets such a process end at once.
  timeout 60 wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger \
    /d 'C:\windows\system32\cmd.exe /c exit %ld %ld' /f </dev/null >/dev/null 2>&1
  trap wine_prefix_stop EXIT
}
