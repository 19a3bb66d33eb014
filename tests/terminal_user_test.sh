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
passwords=(letmein s3cret s3cretXY nope)

command -v tmux >/dev/null || { echo "tmux is missing (scripts/install-deps.sh linux)" >&2; exit 1; }
rm -rf "$work"
mkdir -p "$work"
registry=$work/registry
driver=umpd-terminal-test-$$
socket=umpd-terminal-test-$$-$RANDOM
screens=$work/screens.txt  # every pane captured, for the password check
unset TMUX
failures=0
budget=$((SECONDS + 120))  # for the whole script: a fault must not hold it longer

tm() { tmux -L "$socket" -f /dev/null "$@"; }
socket_path=
trap 'tm kill-server 2>/dev/null; [ -z "$socket_path" ] || rm -f "$socket_path"' EXIT

fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

capture() {
  tm capture-pane -p -t t >"$work/pane.txt" 2>/dev/null
  cat "$work/pane.txt" >>"$screens"
}

shows() { grep -qF -- "$1" "$work/pane.txt"; }

out_of_time() {
  if [ $SECONDS -ge $budget ]; then
    fail "out of time after $failures failure(s)"
    exit 1
  fi
}

# wait_for TEXT [SECONDS]: until the pane shows TEXT.
wait_for() {
  out_of_time
  local deadline=$((SECONDS + ${2:-10}))
  while :; do
    capture
    shows "$1" && return 0
    if [ $SECONDS -ge $deadline ]; then
      fail "waited for '$1'; the pane shows:"
      cat "$work/pane.txt" >&2
      return 1
    fi
    sleep 0.1
  done
}

# still TEXT: a moment later the pane still shows TEXT.
still() {
  sleep 0.6
  capture
  shows "$1" || { fail "'$1' went away; the pane shows:"; cat "$work/pane.txt" >&2; }
}

keys() { tm send-keys -t t "$@"; }
typed() { tm send-keys -t t -l -- "$1"; }

store() { "$options" --registry "$registry" --driver "$driver" "$@" >/dev/null || fail "umpd-options $*"; }

# A fresh pane with a shell, 100 columns by 40 rows.
new_pane() {
  tm kill-session -t t 2>/dev/null
  tm new-session -d -s t -x 100 -y 40 "bash --norc --noprofile" || { fail "tmux did not start"; exit 1; }
  tm set-option -t t status off
  socket_path=$(tm display -p '#{socket_path}')
}

# run NAME [ENV=VALUE...]: umpd-spool --interactive in the pane; its exit
# status goes to NAME.rc, the printed job to NAME.prn.
run() {
  local name=$1
  shift
  printf '%s %q --interactive --registry %q --driver %q --output %q %q >%q 2>%q; echo $? >%q\n' \
    "$*" "$host" "$registry" "$driver" "$work/$name.prn" "$sample" "$work/$name.out" "$work/$name.err" \
    "$work/$name.rc" >"$work/$name.sh"
  keys "clear; bash $work/$name.sh" Enter
}

# ended NAME WANT: the run ends within 20 seconds with exit status WANT.
ended() {
  out_of_time
  local deadline=$((SECONDS + 20))
  until [ -s "$work/$1.rc" ]; do
    if [ $SECONDS -ge $deadline ]; then
      fail "$1: umpd-spool did not end"
      return 1
    fi
    sleep 0.1
  done
  local rc
  rc=$(cat "$work/$1.rc")
  [ "$rc" = "$2" ] || fail "$1: exit status $rc, expected $2; stderr: $(cat "$work/$1.err")"
}

started=$SECONDS

# Refused without a terminal.
"$host" --interactive --output "$work/x.prn" "$sample" </dev/null >"$work/noterm.out" 2>"$work/noterm.err"
rc=$?
[ $rc = 1 ] && grep -q "not a terminal" "$work/noterm.err" && [ ! -s "$work/noterm.out" ] ||
  fail "stdin not a terminal: exit status $rc, stderr: $(cat "$work/noterm.err")"

# First use: the message asking for the address, the address dialog, the
# secure access dialog, a rejected password, the validation error dialog
# (Esc does nothing there), the fields kept, the password retyped past its
# limit, accepted.
store reset
store set ipAddress=1.2.3.4 bInitialConnection=1
new_pane
run first
wait_for "Please enter the Server IP address" && shows "+= Secure Access =" || fail "the first message box"
keys Enter
wait_for "+= IP Address =" && shows ">1.2.3.4 " || fail "the address dialog without its stored address in focus"
for _ in 1 2 3 4 5 6 7; do keys BSpace; done
typed "$identity"
wait_for ">$identity " || fail "the typed address"
keys Enter
wait_for "+= Secure Access =" && wait_for "Account Number"
[ "$(grep -o Required "$work/pane.txt" | wc -l)" = 2 ] && [ "$(grep -o Optional "$work/pane.txt" | wc -l)" = 1 ] ||
  fail "the Required and Optional labels for a policy requiring user ID and password"
tm capture-pane -e -p -t t | grep -q $'\e\\[[0-9;]*4[0-7]m' || fail "no colours in a colour terminal"
typed alice
keys Tab
typed letmein
keys Tab
typed 42
wait_for ">42 " && shows "[alice " && shows "[******* " || fail "the typed fields"
keys BTab
wait_for ">******* " || fail "Shift-Tab back to the password field"
cp "$work/pane.txt" "$work/secure-access.txt"
keys Enter
wait_for "+= Validation Error =" && shows "Invalid Information" && shows "| Password" || fail "the validation error dialog"
keys Escape
still "+= Validation Error ="
# A smaller terminal: the dialog is drawn again, whole.
tm resize-window -t t -x 80 -y 24
sleep 0.5
wait_for "Administrator's Email" && shows "+= Validation Error =" && shows ">    OK    <" ||
  fail "the validation error dialog after a resize to 80x24"
tm resize-window -t t -x 100 -y 40
keys Enter
wait_for "+= Secure Access =" && wait_for ">alice " && shows "[******* " && shows "[42 " ||
  fail "the fields after the rejection"
keys Tab
for _ in 1 2 3 4 5 6 7; do keys BSpace; done
wait_for ">                    <" || fail "the password field emptied by Backspace"
typed s3cretXYZ
wait_for ">******** " && ! shows "*********" || fail "the password field's limit of 8"
keys BSpace BSpace
wait_for ">****** " || fail "Backspace in the password field"
keys Enter
ended first 0
grep -q "%%PRALIX: DocOwner alice" "$work/first.prn" 2>/dev/null && grep -q "%%PRALIX: AccountNumber 42" "$work/first.prn" ||
  fail "the printed ticket lacks the identity typed"
"$options" --registry "$registry" --driver "$driver" show >"$work/stored.txt"
grep -qx "ipAddress=$identity" "$work/stored.txt" && grep -qx "bInitialConnection=0" "$work/stored.txt" ||
  fail "the address typed was not stored: $(grep -E 'ipAddress|bInitial' "$work/stored.txt")"

# The locked layout (the server says the address is wrong), in a terminal
# without colours: OK disabled, Enter does nothing, Esc cancels.
store reset
store set ipAddress=$r403 bInitialConnection=0
new_pane
run locked TERM=dumb
wait_for "The Server IP Address is missing or invalid." && keys Enter
wait_for "+= Secure Access =" && wait_for "(    OK    )" || fail "OK is not drawn disabled"
shows ">  Cancel   <" || fail "Cancel, the only control left, has no focus"
grep "UserID\|Password\|Account Number" "$work/pane.txt" | grep -q "[][<>]" && fail "fields drawn in the locked layout"
shows Required && fail "Required labels in the locked layout"
tm capture-pane -e -p -t t | grep -q $'\e\\[[0-9;]*[34][0-7]m' && fail "colours in a terminal without them"
keys Enter
still "(    OK    )"
[ -e "$work/locked.rc" ] && fail "Enter ended the locked dialog"
keys Tab
still ">  Cancel   <"
keys Escape
ended locked 2
[ -e "$work/locked.prn" ] && fail "a refused job reached the printer"

# Space presses the focused button: Shift-Tab from the address field wraps
# to Cancel.
store reset
store set ipAddress=1.2.3.4 bInitialConnection=1
new_pane
run space
wait_for "Please enter the Server IP address" && keys Enter
wait_for "+= IP Address =" && keys BTab
wait_for ">  Cancel   <" && keys Space
ended space 2

# Ctrl-C: as Esc in the secure access dialog; in the validation error
# dialog, where Esc does nothing, it ends the run (exit status 130). The
# terminal is as it was before, and usable.
store reset
store set ipAddress=$identity bInitialConnection=0
new_pane
keys "stty -g >$work/stty-before" Enter
run ctrlc-esc
wait_for "+= Secure Access =" && typed alice && wait_for ">alice "
keys C-c
ended ctrlc-esc 2
run ctrlc-stop
wait_for "+= Secure Access =" && wait_for "Account Number"
keys Tab
typed nope
wait_for ">**** " || fail "the password typed"
keys Enter
wait_for "+= Validation Error =" && keys C-c
ended ctrlc-stop 130
grep -q 'interrupted (Ctrl-C) in "Validation Error"' "$work/ctrlc-stop.err" || fail "no message after Ctrl-C"
[ -e "$work/ctrlc-stop.prn" ] && fail "an interrupted job reached the printer"
keys "stty -g >$work/stty-after" Enter
deadline=$((SECONDS + 10))
until [ -s "$work/stty-after" ] || [ $SECONDS -ge $deadline ]; do sleep 0.1; done
cmp -s "$work/stty-before" "$work/stty-after" ||
  fail "terminal settings changed: $(cat "$work/stty-before") -> $(cat "$work/stty-after" 2>/dev/null)"
[ "$(tm display -p -t t '#{alternate_on} #{cursor_flag}')" = "0 1" ] ||
  fail "alternate screen or hidden cursor left behind: $(tm display -p -t t '#{alternate_on} #{cursor_flag}')"
keys 'echo usable-$((6 * 7))' Enter
wait_for "usable-42" || fail "the shell does not answer after Ctrl-C"

# Scripted answers and the person at the terminal exclude each other.
keys "$(printf '%q --interactive --answer %q %q' "$host" "IP Address: OK" "$sample") 2>$work/both.err; echo \$? >$work/both.rc" Enter
deadline=$((SECONDS + 10))
until [ -s "$work/both.rc" ] || [ $SECONDS -ge $deadline ]; do sleep 0.1; done
[ "$(cat "$work/both.rc" 2>/dev/null)" = 1 ] && grep -q "exclude each other" "$work/both.err" ||
  fail "--interactive with --answer: exit status $(cat "$work/both.rc" 2>/dev/null), $(cat "$work/both.err" 2>/dev/null)"

# The password never appears on the screen.
for p in "${passwords[@]}"; do
  grep -qF -- "$p" "$screens" && fail "the password '$p' was on the screen"
done
[ -s "$screens" ] || fail "no screens captured"

echo "terminal user: $(grep -c '' "$screens") pane lines checked, $((SECONDS - started)) s, $failures failure(s)"
[ $failures = 0 ]
