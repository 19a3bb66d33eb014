#!/usr/bin/env bash
# umpd-spool --interactive as a person uses it, in a pane of its own tmux server: panes, exit statuses, messages and
# identities printed as a golden transcript.
set -u
build=$1 sample=$2 net=$3 golden=$4/terminal_user.txt work=$5 host=$1/bin/umpd-spool options=$1/bin/umpd-options
. "$(dirname "$0")/script_lib.sh"
identity=${net}22  # requires user ID and password, accepts alice:s3cret:42
r403=${net}28      # answers 403: the locked layout
registry=$work/registry driver=umpd-terminal-test-$$ socket=umpd-terminal-test-$$-$RANDOM
screens=$work/screens.txt out=$work/transcript.txt  # every pane captured (for the password check); the transcript
unset TMUX
tm() { tmux -L "$socket" -f /dev/null "$@"; }
trap 'tm kill-server 2>/dev/null' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
capture() { tm capture-pane -p -t t 2>/dev/null | tee -a "$screens" >"$work/pane.txt"; }
shows() { grep -qF -- "$1" "$work/pane.txt"; }
wait_for() {  # wait_for TEXT...: until the pane shows every TEXT, 10 s at most
  for _ in $(seq 100); do
    capture
    local text missing=
    for text; do shows "$text" || missing=$text; done
    [ -z "$missing" ] && return 0
    sleep 0.1
  done
  fail "waited for '$missing'; the pane:"$'\n'"$(cat "$work/pane.txt")"
}
still() {  # still TEXT: a moment later the pane still shows TEXT; the pane to the transcript
  sleep 0.6
  wait_for "$1"
  { echo "## the pane showing $1"; sed 's/ *$//' "$work/pane.txt"; } >>"$out"
}
colours() { tm capture-pane -e -p -t t | grep -q $'\e\\['"[0-9;]*$1m"; }
keys() { tm send-keys -t t "$@"; }  # a word that names no key is typed as it is
store() { "$options" --registry "$registry" --driver "$driver" "$@" >"$work/stored.txt" || fail "umpd-options $*"; }
# run NAME ADDRESS FIRST_USE [ENV=VALUE...]: a fresh store, umpd-spool --interactive in a fresh 100x40 pane.
run() {
  store reset
  store set ipAddress="$2" bInitialConnection="$3"
  tm kill-session -t t 2>/dev/null
  tm new-session -d -s t -x 100 -y 40 "bash --norc --noprofile" \; set-option -t t status off || fail "no tmux session"
  printf '%s %q --interactive --registry %q --driver %q --output %q %q >%q 2>%q; echo $? >%q\n' "${*:4}" "$host" \
    "$registry" "$driver" "$work/$1.prn" "$sample" "$work/$1.out" "$work/$1.err" "$work/$1.rc" >"$work/$1.sh"
  keys "clear; stty -g >$work/stty-before; bash $work/$1.sh" Enter
}
ended() {  # ended NAME: the run ends within 20 s; its outcome and the identity it printed to the transcript
  until_ok 200 test -s "$work/$1.rc"
  { echo "## $1"; echo "exit $(cat "$work/$1.rc" 2>/dev/null)"; cat "$work/$1.err"; } >>"$out"
  tr -d '\r' 2>/dev/null <"$work/$1.prn" | grep -a "^%%PRALIX: \(DocOwner\|Password\|AccountNumber\)" >>"$out"
}

# First use: the address asked for, a rejected password, the validation error dialog (Esc does nothing there; a
# resize draws it again, whole), the fields kept, the password retyped past its limit, accepted.
run first 1.2.3.4 1
wait_for "Please enter the Server IP address" "+= Secure Access =" && keys Enter
wait_for "+= IP Address =" ">1.2.3.4 " && keys BSpace BSpace BSpace BSpace BSpace BSpace BSpace "$identity"
wait_for ">$identity " && keys Enter
wait_for "+= Secure Access =" "Account Number"
colours '4[0-7]' || fail "no colours in a colour terminal"
keys alice Tab letmein Tab 42
wait_for ">42 " "[alice " "[******* " && keys BTab
wait_for ">******* " && keys Enter
wait_for "+= Validation Error =" "Invalid Information" "| Password" && keys Escape
still "+= Validation Error ="
tm resize-window -t t -x 80 -y 24
sleep 0.5
wait_for "Administrator's Email" "+= Validation Error =" ">    OK    <"
tm resize-window -t t -x 100 -y 40
keys Enter
wait_for ">alice " "[******* " "[42 " && keys Tab BSpace BSpace BSpace BSpace BSpace BSpace BSpace
wait_for ">                    <" && keys s3cretXYZ
wait_for ">******** " && ! shows "*********" || fail "the password field's limit of 8"
keys BSpace BSpace
wait_for ">****** " && keys Enter
ended first
store show
grep "^ipAddress=\|^bInitialConnection=" "$work/stored.txt" >>"$out"

# The locked layout (the address is wrong), without colours: OK disabled, Enter does nothing, Esc cancels.
run locked "$r403" 0 TERM=dumb
wait_for "The Server IP Address is missing or invalid." && keys Enter
wait_for "(    OK    )" ">  Cancel   <"
colours '[34][0-7]' && fail "colours in a terminal without them"
keys Enter
still "(    OK    )" && keys Tab
still ">  Cancel   <" && keys Escape
ended locked

# Space presses the focused button; Shift-Tab wraps to Cancel.
run space 1.2.3.4 1
wait_for "Please enter the Server IP address" && keys Enter
wait_for "+= IP Address =" && keys BTab
wait_for ">  Cancel   <" && keys Space
ended space

# Ctrl-C: as Esc in the secure access dialog; in the validation error dialog it ends the run (exit status 130).
# The terminal is as it was before, and usable.
run ctrlc-esc "$identity" 0
wait_for "+= Secure Access =" && keys alice && wait_for ">alice " && keys C-c
ended ctrlc-esc
run ctrlc-stop "$identity" 0
wait_for "Account Number" && keys Tab nope
wait_for ">**** " && keys Enter
wait_for "+= Validation Error =" && keys C-c
ended ctrlc-stop
keys "stty -g >$work/stty-after" Enter
until_ok 100 test -s "$work/stty-after"
cmp -s "$work/stty-before" "$work/stty-after" || fail "terminal settings changed"
[ "$(tm display -p -t t '#{alternate_on} #{cursor_flag}')" = "0 1" ] || fail "alternate screen or hidden cursor left"
keys 'echo usable-$((6 * 7))' Enter
wait_for "usable-42"

# Scripted answers and the person at the terminal exclude each other.
keys "$(printf '%q --interactive --answer %q %q' "$host" "IP Address: OK" "$sample") 2>$work/both.err; echo \$? >$work/both.rc" Enter
ended both

[ -s "$screens" ] || fail "no screens captured"
for p in letmein s3cret s3cretXY nope; do grep -qF -- "$p" "$screens" && fail "the password '$p' was on the screen"; done
golden "$out" "$golden" || fail "the transcript differs from $golden"
