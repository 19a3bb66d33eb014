#!/usr/bin/env bash
# Renders the library's dialogs from the real x64 DLL under Wine on a virtual
# display (Xvfb) and saves them as PNG files in docs/: the server address
# dialog, the secure access dialog in its editable and its locked layout, and
# the validation error dialog with two rejected fields and the
# administrator's texts. The dialogs come up as a person would meet them: a
# job printed with umpd-spool against reference print servers on loopback,
# the scripted user typing the answers and waiting while a picture is taken.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh pictures
jobs=$(nproc)
cmake --preset linux >/dev/null
cmake --build --preset linux -j "$jobs" --target umpd-printserver >/dev/null
cmake --preset mingw-x64 >/dev/null
cmake --build --preset mingw-x64 -j "$jobs" --target umpd umpd-spool umpd-options >/dev/null
bin=build/mingw-x64/bin
work=$(mktemp -d /tmp/umpd-pictures.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# A display of our own.
display=99
while [ -e "/tmp/.X$display-lock" ]; do display=$((display + 1)); done
Xvfb ":$display" -screen 0 800x600x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
pids+=($!)
export DISPLAY=":$display"
for _ in $(seq 50); do xwininfo -root >/dev/null 2>&1 && break; sleep 0.1; done

server() {  # server ADDRESS OPTIONS...: a reference print server, stopped on exit
  local address=$1
  shift
  build/linux/bin/umpd-printserver --address "$address" --raw-port 0 "$@" >"$work/server-$address.out" 2>&1 &
  pids+=($!)
  for _ in $(seq 50); do grep -q "listening on" "$work/server-$address.out" && return; sleep 0.1; done
  cat "$work/server-$address.out" >&2
  return 1
}
server 127.0.0.70 --require user,account --accept alice::A-1002 \
  --admin-message "Your user ID and account number are on your badge. Ask the print room (ext. 4711) if in doubt." \
  --admin-email "printroom@example.org"
server 127.0.0.71 --reply-code 403

UMPD_WINE_GRAPHICS=x11
# shellcheck source=scripts/wine-prefix.sh
source scripts/wine-prefix.sh
wine_prefix_start
trap 'wine_prefix_stop; cleanup' EXIT

# capture PID PREFIX: saves each dialog window that stays on the display for a
# moment while process PID runs, as PREFIX-N-CAPTION.png.
capture() {
  local pid=$1 prefix=$2 n=0 seen=" "
  while kill -0 "$pid" 2>/dev/null; do
    while read -r id name; do
      case "$seen" in *" $id "*) continue ;; esac
      seen="$seen$id "
      sleep 1
      n=$((n + 1))
      import -window "$id" "$prefix-$n-${name// /-}.png" 2>/dev/null || true
    done < <(xwininfo -root -children 2>/dev/null |
             sed -n 's/^ *\(0x[0-9a-f]*\) "\(IP Address\|Secure Access\|Validation Error\)".*/\1 \2/p')
    sleep 0.1
  done
}

spool() {  # spool PREFIX ANSWER...: prints the sample, capturing the dialogs
  local prefix=$1
  shift
  local args=()
  for a in "$@"; do args+=(--answer "$a"); done
  /usr/lib/wine/wine64 "$bin/umpd-spool.exe" "${args[@]}" --output "$work/out.prn" examples/sample.ps \
    >"$work/spool.out" 2>"$work/spool.err" &
  local pid=$!
  capture "$pid" "$prefix"
  wait "$pid" || { echo "umpd-spool ended with $?:" >&2; cat "$work/spool.err" >&2; }
  grep -E '^(dialog|message)' "$work/spool.err" >&2 || true
}

hold="wait 2500"
# First use: the address, the identity rejected (user ID and account number),
# then accepted.
spool "$work/first" \
  "IP Address: 1108=127.0.0.70, $hold, OK" \
  "Secure Access: 1112=alicia, 1113=secret, 1114=B-9, $hold, OK" \
  "Validation Error: $hold, OK" \
  "Secure Access: 1112=alice, 1114=A-1002, OK"
# A server that says the address is wrong: the locked layout.
/usr/lib/wine/wine64 "$bin/umpd-options.exe" set ipAddress=127.0.0.71 >/dev/null
spool "$work/locked" "Secure Access: $hold, Esc"

# pick PATTERN NAME: of the captures matching PATTERN the first of the
# largest (a message box with the same caption is smaller than the dialog)
# becomes docs/NAME.
pick() {
  local file
  file=$(find "$work" -name "$1" -exec identify -format '%[fx:w*h] %i\n' {} \; 2>/dev/null |
         sort -k1,1nr -k2,2V | head -n 1 | cut -d' ' -f2-)
  [ -n "$file" ] || { echo "no picture of $2" >&2; return 1; }
  cp "$file" "docs/$2"
  echo "docs/$2: $(identify -format '%wx%h' "docs/$2")"
}
mkdir -p docs
pick 'first-*-IP-Address.png' dialog-ip-address.png
pick 'first-*-Secure-Access.png' dialog-secure-access.png
pick 'first-*-Validation-Error.png' dialog-validation-error.png
pick 'locked-*-Secure-Access.png' dialog-secure-access-locked.png
