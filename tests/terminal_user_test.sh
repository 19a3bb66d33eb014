#!/usr/bin/env bash
# umpd-spool --interactive as a person uses it: keystrokes into a tmux pane,
# what the pane shows, and what reached the print server and the printer.
#   terminal_user_test.sh HOST OPTIONS SAMPLE TEST_NET WORK
# Every wait is bounded; the tmux server is this script's own (its socket
# name is unique) and is ended when the script ends.
set -u
host=$1 options=$2 sample=$3 net=$4 work=$5
identity=${net}22  # requires user ID and password, accepts alice:s3cret:42
r403=${net}28      # answers 403: the locked layout
command -v tmux >/dev/null || { echo "tmux is missing (scripts/install-deps.sh linux)" >&2; exit 1; }
rm -rf "$work"
mkdir -p "$work"
registry=$work/registry driver=umpd-terminal-test-$$ socket=umpd-terminal-test-$$-$RANDOM
screens=$work/screens.txt  # every pane captured, for the password check
unset TMUX
failures=0
budget=$((SECONDS + 120))  # for the whole script: a fault must not hold it longer
tm() { tmux -L "$socket" -f /dev/null "$@"; }
trap 'tm kill-server 2>/dev/null' EXIT
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
capture() {
  tm capture-pane -p -t t >"$work/pane.txt" 2>/dev/null
  cat "$work/pane.txt" >>"$screens"
}
shows() { grep -qF -- "$1" "$work/pane.txt"; }
# wait_for TEXT: until the pane shows TEXT, 10 s at most.
wait_for() {
  [ $SECONDS -lt $budget ] || { fail "out of time"; exit 1; }
  for _ in $(seq 100); do
    capture
    shows "$1" && return 0
    sleep 0.1
  done
  fail "waited for '$1'; the pane shows:"
  cat "$work/pane.txt" >&2
  return 1
}
# still TEXT: a moment later the pane still shows TEXT.
still() {
  sleep 0.6
  capture
  shows "$1" || fail "'$1' went away"
}
keys() { tm send-keys -t t "$@"; }
typed() { tm send-keys -t t -l -- "$1"; }
store() { "$options" --registry "$registry" --driver "$driver" "$@" >"$work/stored.txt" || fail "umpd-options $*"; }
# run NAME ADDRESS FIRST_USE [ENV=VALUE...]: a fresh store and a fresh pane of
# 100x40, umpd-spool --interactive in it; its exit status goes to NAME.rc,
# the printed job to NAME.prn.
run() {
  local name=$1
  store reset
  store set ipAddress="$2" bInitialConnection="$3"
  shift 3
  tm kill-session -t t 2>/dev/null
  tm new-session -d -s t -x 100 -y 40 "bash --norc --noprofile" || { fail "tmux did not start"; exit 1; }
  tm set-option -t t status off
  printf '%s %q --interactive --registry %q --driver %q --output %q %q >%q 2>%q; echo $? >%q\n' "$*" "$host" \
    "$registry" "$driver" "$work/$name.prn" "$sample" "$work/$name.out" "$work/$name.err" "$work/$name.rc" >"$work/$name.sh"
  keys "clear; stty -g >$work/stty-before; bash $work/$name.sh" Enter
}
# ended NAME WANT: the run ends within 20 seconds with exit status WANT.
ended() {
  for _ in $(seq 200); do [ -s "$work/$1.rc" ] && break; sleep 0.1; done
  [ "$(cat "$work/$1.rc" 2>/dev/null)" = "$2" ] || fail "$1: exit status $(cat "$work/$1.rc" 2>/dev/null), expected $2"
}

# First use: the message asking for the address, the address dialog, the
# secure access dialog, a rejected password, the validation error dialog
# (Esc does nothing there; a resize draws it again, whole), the fields kept,
# the password retyped past its limit, accepted.
run first 1.2.3.4 1
wait_for "Please enter the Server IP address" && shows "+= Secure Access =" || fail "the first message box"
keys Enter
wait_for "+= IP Address =" && shows ">1.2.3.4 " || fail "the address dialog without its stored address in focus"
keys BSpace BSpace BSpace BSpace BSpace BSpace BSpace
typed "$identity"
wait_for ">$identity " && keys Enter
wait_for "+= Secure Access =" && wait_for "Account Number"
tm capture-pane -e -p -t t | grep -q $'\e\\[[0-9;]*4[0-7]m' || fail "no colours in a colour terminal"
typed alice
keys Tab
typed letmein
keys Tab
typed 42
wait_for ">42 " && shows "[alice " && shows "[******* " || fail "the typed fields"
keys BTab
wait_for ">******* " || fail "Shift-Tab back to the password field"
keys Enter
wait_for "+= Validation Error =" && shows "Invalid Information" && shows "| Password" || fail "the validation error dialog"
keys Escape
still "+= Validation Error ="
tm resize-window -t t -x 80 -y 24
sleep 0.5
wait_for "Administrator's Email" && shows "+= Validation Error =" && shows ">    OK    <" || fail "the dialog after a resize"
tm resize-window -t t -x 100 -y 40
keys Enter
wait_for ">alice " && shows "[******* " && shows "[42 " || fail "the fields after the rejection"
keys Tab BSpace BSpace BSpace BSpace BSpace BSpace BSpace
wait_for ">                    <" || fail "the password field emptied by Backspace"
typed s3cretXYZ
wait_for ">******** " && ! shows "*********" || fail "the password field's limit of 8"
keys BSpace BSpace
wait_for ">****** " && keys Enter
ended first 0
grep -q "%%PRALIX: DocOwner alice" "$work/first.prn" && grep -q "%%PRALIX: AccountNumber 42" "$work/first.prn" ||
  fail "the printed ticket lacks the identity typed"
store show
grep -qx "ipAddress=$identity" "$work/stored.txt" && grep -qx "bInitialConnection=0" "$work/stored.txt" ||
  fail "the address typed was not stored"

# The locked layout (the server says the address is wrong), in a terminal
# without colours: OK disabled, Enter does nothing, Esc cancels.
run locked "$r403" 0 TERM=dumb
wait_for "The Server IP Address is missing or invalid." && keys Enter
wait_for "(    OK    )" && shows ">  Cancel   <" || fail "OK not disabled, or Cancel without the focus"
grep "UserID\|Password\|Account Number\|Required" "$work/pane.txt" | grep -q "[][<>]\|Required" &&
  fail "fields or labels in the locked layout"
tm capture-pane -e -p -t t | grep -q $'\e\\[[0-9;]*[34][0-7]m' && fail "colours in a terminal without them"
keys Enter
still "(    OK    )"
keys Tab
still ">  Cancel   <"
keys Escape
ended locked 2
[ -e "$work/locked.prn" ] && fail "a refused job reached the printer"

# Space presses the focused button: Shift-Tab from the address field wraps
# to Cancel.
run space 1.2.3.4 1
wait_for "Please enter the Server IP address" && keys Enter
wait_for "+= IP Address =" && keys BTab
wait_for ">  Cancel   <" && keys Space
ended space 2

# Ctrl-C: as Esc in the secure access dialog; in the validation error
# dialog, where Esc does nothing, it ends the run (exit status 130). The
# terminal is as it was before, and usable.
run ctrlc-esc "$identity" 0
wait_for "+= Secure Access =" && typed alice && wait_for ">alice " && keys C-c
ended ctrlc-esc 2
run ctrlc-stop "$identity" 0
wait_for "Account Number" && keys Tab
typed nope
wait_for ">**** " && keys Enter
wait_for "+= Validation Error =" && keys C-c
ended ctrlc-stop 130
grep -q 'interrupted (Ctrl-C) in "Validation Error"' "$work/ctrlc-stop.err" || fail "no message after Ctrl-C"
[ -e "$work/ctrlc-stop.prn" ] && fail "an interrupted job reached the printer"
keys "stty -g >$work/stty-after" Enter
for _ in $(seq 100); do [ -s "$work/stty-after" ] && break; sleep 0.1; done
cmp -s "$work/stty-before" "$work/stty-after" || fail "terminal settings changed"
[ "$(tm display -p -t t '#{alternate_on} #{cursor_flag}')" = "0 1" ] || fail "alternate screen or hidden cursor left"
keys 'echo usable-$((6 * 7))' Enter
wait_for "usable-42" || fail "the shell does not answer after Ctrl-C"

# Scripted answers and the person at the terminal exclude each other.
keys "$(printf '%q --interactive --answer %q %q' "$host" "IP Address: OK" "$sample") 2>$work/both.err; echo \$? >$work/both.rc" Enter
ended both 1
grep -q "exclude each other" "$work/both.err" || fail "--interactive with --answer"

# The password never appears on the screen.
[ -s "$screens" ] || fail "no screens captured"
for p in letmein s3cret s3cretXY nope; do grep -qF -- "$p" "$screens" && fail "the password '$p' was on the screen"; done
echo "terminal user: $(grep -c '' "$screens") pane lines checked, $failures failure(s)"
[ $failures = 0 ]
