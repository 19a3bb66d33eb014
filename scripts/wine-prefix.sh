#!/usr/bin/env bash
# Source this: makes a fresh, headless Wine prefix and starts one persistent
# wineserver for it. Stop it with wine_prefix_stop (a trap does it on exit).
#   WINEPREFIX  where the prefix goes (default: a new temporary directory)
export WINEPREFIX="${WINEPREFIX:-$(mktemp -d /tmp/umpd-wine.XXXXXX)}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64

wine_prefix_stop() {
  wineserver -k 2>/dev/null || true
}

wine_prefix_start() {
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    wineboot -i >/dev/null 2>&1
    # No display here: the null graphics driver shows windows headless.
    wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
  fi
  wineserver -k 2>/dev/null || true
  wineserver -w
  wineserver -p
  # Start the prefix's services now, detached from any output: a test that
  # started them would leave them holding its output pipe open.
  /usr/lib/wine/wine64 wineboot </dev/null >/dev/null 2>&1
  trap wine_prefix_stop EXIT
}
