#!/usr/bin/env bash
# The printer application's "Held jobs" page, in a network namespace of its own (the application on 192.0.2.11:8631,
# a print server requiring identity and an account on the namespace's loopback): jobs without credentials held, a
# person in headless Chromium signing in with a wrong then the right password, the job printing with that identity,
# the page's refusals, the hold time. A golden transcript; the page's screenshot beside it (UPDATE_SCREENSHOT=1 puts
# it in docs/). Root only; skipped where no namespace can be made or no browser is installed.
set -u
. "$(dirname "$0")/own_namespace.sh" 192.0.2.11 "$@"
build=$1 sample=$2 golden=$4/release_page.txt work=$5 net=127.0.0. here=$(cd "$(dirname "$0")" && pwd)
type -P ipptool curl >/dev/null || { echo "FAIL: see scripts/install-deps.sh"; exit 1; }
[ -x /usr/bin/chromedriver ] && /usr/bin/python3 -c 'import selenium' 2>/dev/null ||
  { echo "SKIPPED: chromium-driver and python3-selenium are not installed (scripts/install-deps.sh)"; exit 77; }
rm -rf "$work" && mkdir -p "$work"
. "$here/script_lib.sh"
out=$work/transcript.txt page=https://192.0.2.11:8631/id/held
# PAPPL's main loop never frees its options: no leak reports of the subcommands under AddressSanitizer.
app() { ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0 timeout 60 "$build/bin/pralix-printer-app" "$@"; }
start_app() {  # start_app OPTION...: the server and its printer "id", until its local socket is there
  rm -rf /run/pralix-printer-app.sock "$work/state" "$work/spool"
  "$build/bin/pralix-printer-app" server -o state-directory="$work/state" -o spool-directory="$work/spool" \
    -o log-file="$work/app.log" "$@" >>"$work/app.out" 2>&1 &
  apppid=$! pids+=($!)
  until_ok 100 test -S /run/pralix-printer-app.sock || { echo "FAIL: the server did not start"; exit 1; }
  app add -d id -v "pralix://${net}30" -m pralix >/dev/null
}
stop_app() { kill -TERM "$apppid" && wait "$apppid"; }
state() { timeout 30 ipptool -t -d job="$1" "ipps://192.0.2.11:8631/ipp/print/id" "$here/printer_app.test" |
  sed -n 's/^ *\(job-state[a-z-]*\) ([^)]*)/\1/p'; }
until_state() {  # until_state JOB PATTERN: the job's state once PATTERN is in it (20 s at most)
  local job=$1 want=$2
  until_ok 200 eval 'state "$job" | grep -q "$want"'
  state "$job"
}
listed() { timeout 30 curl -sk "$page" | grep -o '<tr><td>[0-9]*</td><td>[^<]*' | sed 's/<[^>]*>/ /g'; }
post() {  # post JOB PASSWORD [SESSION]: the page's form as a browser posts it, and the page's notice
  local session=${3:-$(timeout 30 curl -sk "$page" | sed -n 's/.*name="session" value="\([0-9a-f]*\)".*/\1/p' | head -1)}
  timeout 30 curl -sk --data-urlencode "session=$session" -d "job-id=$1" -d user=alice --data-urlencode "password=$2" \
    -d account=A-7 "$page" | sed -n 's/.*id="notice">\([^<]*\).*/notice: \1/p'
}

server 30 --require user,password,account --accept alice:s3cret:A-7 --show-secrets
start_app -o hold-without-credentials=all
{
  echo "## a job from this machine's socket, where identity is required: held and listed"
  app submit -d id "$sample" >/dev/null
  until_state 1 "Held until"
  listed
  echo "## in Chromium over TLS: a wrong password (the job stays held), then the right one"
  timeout 180 /usr/bin/python3 "$here/release_page.py" "$page" 1 "$work/release-page.png" 2>&1
  until_state 1 "= completed"
  until_ok 300 grep -q "^job from" "$work/server30.out"
  grep -E "^(DocOwner|Password|AccountNumber|SecurePassword|job from)" "$work/server30.out" | sed 's/: [0-9]* bytes/: N bytes/'
  echo "## a remote client without credentials, where the administrator holds such jobs: held, not answered 401"
  timeout 60 ipptool -t -f "$sample" ipps://192.0.2.11:8631/ipp/print/id "$here/printer_app.test" |
    sed -n 's/^ *job-id (integer) = \(.*\)/accepted: job \1/p'
  until_state 2 "Held until"
  echo "## a form without the page's session key changes nothing"
  post 2 s3cret 0000
  state 2 | grep "job-state ="
  echo "## five refused sign-ins cancel the job"
  for _ in 1 2 3 4 5; do post 2 wrong; done
  until_state 2 "= canceled"
  echo "## plain HTTP from another machine: the page moves to HTTPS, a form posted is refused"
  timeout 30 curl -s -o /dev/null -w 'GET %{http_code} %{redirect_url}\n' http://192.0.2.11:8631/id/held
  timeout 30 curl -s -o /dev/null -w 'POST %{http_code}\n' -d job-id=1 -d user=alice -d password=s3cret \
    http://192.0.2.11:8631/id/held
} >>"$out" 2>&1
stop_app
start_app -o held-job-timeout=3s
{
  echo "## a remote client without credentials, by default: answered 401"
  timeout 60 ipptool -t -f "$sample" ipps://192.0.2.11:8631/ipp/print/id "$here/printer_app.test" |
    sed -n 's/^ *status-code = \([a-z-]*\).*/refused: \1/p'
  echo "## nobody signs in within the hold time (3 s): cancelled"
  app submit -d id "$sample" >/dev/null
  until_state 1 "= canceled"
} >>"$out" 2>&1
stop_app
[ -z "${UPDATE_SCREENSHOT:-}" ] || cp "$work/release-page.png" "$here/../docs/release-page.png"
echo "## no password under the state and spool directories or in the log" >>"$out"
grep -rlaE 's3cret|2468' "$work/state" "$work/spool" "$work/app.log" "$work/app.out" | sed 's/^/FAIL: a password in /' >>"$out"
golden "$out" "$golden"
