#!/usr/bin/env bash
# Who may do what to the printer application's jobs, in a network namespace of its own (the application on
# 192.0.2.12:8631): another client (as user nobody, never an administrator) neither adds to, changes nor reads the
# private values of alice's jobs; root on this machine is an administrator; a PIN job never prints without its PIN,
# also after a restart; no PIN or URI password rests with a job; held jobs are bounded; refused sign-ins are
# throttled; the local socket is root's and the administrators' group's. A golden transcript. Root only.
set -u
. "$(dirname "$0")/own_namespace.sh" 192.0.2.12 "$@"
build=$1 sample=$2 golden=$4/printer_app_access.txt work=$5 net=127.0.0. here=$(cd "$(dirname "$0")" && pwd)
type -P ipptool curl runuser setsid >/dev/null || { echo "FAIL: see scripts/install-deps.sh"; exit 1; }
. "$here/script_lib.sh"
chmod 755 "$work"
out=$work/transcript.txt host=192.0.2.12:8631
app() { ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0 timeout 60 "$build/bin/pralix-printer-app" "$@"; }
start_app() {  # start_app OPTION...: the server, until its local socket is there
  rm -f /run/pralix-printer-app.sock
  "$build/bin/pralix-printer-app" server -o listen-hostname=192.0.2.12 -o state-directory="$work/state" \
    -o spool-directory="$work/spool" -o log-file="$work/app.log" "$@" >>"$work/app.out" 2>&1 &
  apppid=$! pids+=($!)
  until_ok 100 test -S /run/pralix-printer-app.sock || { echo "FAIL: the server did not start"; exit 1; }
  sleep 1.1  # PAPPL 1.3.1 reports printer-up-time 0 in a printer's first second
}
# ask AS CREDS PRINTER OP [ipptool -d ...]: one operation of printer_app_access.test as local user AS (root is an
# administrator) with CREDS (USER:PASSWORD, or - for none); its status when refused, and the values it shows.
# Without a terminal: ipptool would ask for a password on one.
ask() {
  local as=$1 creds=${2#-} printer=$3 op=$4
  setsid -w runuser -u "$as" -- timeout 60 ipptool -t -d "$op=1" "${@:5}" \
    "ipps://${creds:+$creds@}$host/ipp/print/$printer" "$here/printer_app_access.test" </dev/null 2>&1 |
    sed -n -e 's/^ *status-code = \([a-z-]*\).*/  refused: \1/p' \
      -e 's/^ *\(job-[a-z-]*\|notify-events\|pralix-[a-z-]*\) ([^)]*) = \(.*\)/  \1 = \2/p'
}
print() {  # print AS CREDS PRINTER [ipptool -d ...]: a Print-Job of the sample, its job id or why refused
  local as=$1 creds=${2#-} printer=$3
  setsid -w runuser -u "$as" -- timeout 60 ipptool -t -f "$sample" "${@:4}" \
    "ipps://${creds:+$creds@}$host/ipp/print/$printer" "$here/printer_app.test" </dev/null 2>&1 |
    sed -n -e 's/^ *status-code = \([a-z-]*\).*/  refused: \1/p' -e 's/^ *job-id (integer) = \(.*\)/  job \1/p'
}
state() { ask root - "$1" attrs -d job="$2" | grep -E "job-state|job-name ="; }
jobs_at() { grep -c "^job from" "$work/server$1.out"; }

server 40 --require user,password --accept alice:s3cret:1 --accept bob:b0bpass:2 --show-secrets
server 41 --show-secrets
start_app
app add -d id -v "pralix://${net}40" -m pralix >/dev/null
app add -d open -v "pralix://${net}41" -m pralix >/dev/null
{
  echo "## the local socket: root's only"
  stat -c '%a %U %G' /run/pralix-printer-app.sock
  echo "## alice's Create-Job; Send-Document from other clients refused, nothing added; then alice's"
  ask nobody alice:s3cret id create -d title="alice's payslips"
  for c in - bob:b0bpass alice:wrong; do echo "as $c:"; ask nobody "$c" id send -d job=1 -f "$sample"; done
  echo "jobs at the print server: $(jobs_at 40)"
  echo "as alice:s3cret:"; ask nobody alice:s3cret id send -d job=1 -f "$sample"
  until_ok 100 eval '[ "$(jobs_at 40)" = 1 ]'
  grep -E "^(DocOwner|Password|job from)" "$work/server40.out" | sed 's/: [0-9]* bytes/: N bytes/'
  echo "## alice's queued job: others' cancel, hold and Cancel-My-Jobs refused; alice's hold and release taken"
  app pause -d id
  print nobody alice:s3cret id -d title="alice's second"
  for op in cancel hold; do echo "$op as -:"; ask nobody - id "$op" -d job=2; done
  echo "cancel as bob:"; ask nobody bob:b0bpass id cancel -d job=2
  echo "Cancel-My-Jobs as bob:"; ask nobody bob:b0bpass id mine
  state id 2
  for op in hold release; do
    echo "$op as alice:"; ask nobody alice:s3cret id "$op" -d job=2; state id 2 | grep "job-state ="
  done
  echo "## private values: another client sees no name or owner; alice and an administrator do"
  for who in "nobody - bob" "nobody alice:s3cret bob" "nobody alice:s3cret alice" "root - root"; do
    set -- $who
    echo "as $1 with ${2%%:*}, naming $3:"; ask "$1" "$2" id attrs -d job=2 -d named="$3"
  done
  echo "Get-Jobs as -:"; ask nobody - id jobs
  echo "a printer subscription as -, then as root:"; ask nobody - id subscribe; ask root - id subscribe
  echo "## an administrator (root here) cancels alice's job"
  ask root - id cancel -d job=2
  state id 2
  app resume -d id
  echo "## job-password among the job's attributes, a password in the printer's URI: neither kept with the job"
  ask nobody - open careless -d careless=13579 -d uripass="ipps://mallory:letmein@$host/ipp/print/open" -f "$sample"
  until_ok 100 eval '[ "$(jobs_at 41)" = 1 ]'
  ask nobody - open attrs -d job=1 | grep -v job-state
  grep -E "^(SecurePassword|job from)" "$work/server41.out" | sed 's/: [0-9]* bytes/: N bytes/'
  echo "## a PIN job queued at a restart: held for its PIN after it, not printed without it; printed with it"
  app pause -d open
  print nobody - open -d pin=24680
  kill -TERM "$apppid" && wait "$apppid"
  # Clients without credentials held from here on: a client sends its password only when answered 401.
  start_app -o admin-group=lp -o hold-without-credentials=all -o held-jobs-per-client=2
  app resume -d open
  until_ok 100 eval 'state open 2 | grep -q "with the job'"'"'s PIN"'
  sleep 2
  state open 2
  echo "jobs at the print server: $(jobs_at 41)"
  page=https://$host/open/held
  session=$(timeout 30 curl -sk "$page" | sed -n 's/.*name="session" value="\([0-9a-f]*\)".*/\1/p' | head -1)
  for pin in "" 24680; do
    timeout 30 curl -sk --data-urlencode "session=$session" -d job-id=2 -d user=carol -d password=x -d account= \
      -d pin="$pin" "$page" | sed -n 's/.*id="notice">\([^<]*\).*/notice: \1/p'
  done
  until_ok 100 eval '[ "$(jobs_at 41)" = 2 ]'
  grep -E "^(SecurePassword|job from)" "$work/server41.out" | sed 's/: [0-9]* bytes/: N bytes/' | tail -2
  echo "## submit with a job-password: refused at once"
  app submit -d open -o job-password=1234 "$sample"; echo "exit $?"
  echo "## the local socket with admin-group=lp: that group's too; lp's member is an administrator"
  stat -c '%a %U %G' /run/pralix-printer-app.sock
  echo "## held for sign-in: Release-Job refused even to the job's owner; a client's third held job refused"
  j=$(print nobody - id -d title=held | sed -n 's/^ *job //p')
  echo "release as -:"; ask nobody - id release -d job="$j"
  print nobody - id; print nobody - id
  echo "cancel as lp:"; ask lp - id cancel -d job="$j"
  state id "$j" | grep "job-state ="
  kill -TERM "$apppid" && wait "$apppid"
  start_app
  echo "## a client that sends a wrong password again and again: answers slowed, then this address refused a while"
  # How often the client tries a refused password again is libcups' affair: tried until it is refused outright.
  for n in $(seq 10); do ask nobody alice:wrong id create | grep -q forbidden && break; done
  echo "refused outright after a while: $([ "$n" -lt 10 ] && echo yes || echo no)"
  echo "refused sign-ins before the lock-out: $(awk '/Stopped by signal/ { n = 0 } /did not accept/ { n++ }
    /Repeated refused/ { print n; exit }' "$work/app.log")"
  for c in bob:b0bpass alice:s3cret; do echo "Create-Job as ${c%%:*}:"; ask nobody "$c" id create; done
  echo "lock-outs logged: $(grep -c 'Repeated refused sign-ins' "$work/app.log")"
} >>"$out" 2>&1
echo "## no PIN or URI password in the state, the spool or the log" >>"$out"
grep -rla -e 13579 -e 24680 -e letmein "$work/state" "$work/spool" "$work/app.log" | sed 's/^/FAIL: a secret in /' >>"$out"
golden "$out" "$golden"
