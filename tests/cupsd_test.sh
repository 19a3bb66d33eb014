#!/usr/bin/env bash
# The backend in a private cupsd on 127.0.0.1:16631 (root only), a root-owned ServerBin with the backend and the
# system's filters: each check and the servers' tickets as a golden transcript.
set -u
build=$1 sample=$2 net=$3 golden=$4/pralix_cupsd.txt port=16631 examples=$(dirname "$2")/cups
[ "$(id -u)" = 0 ] || { echo "SKIPPED: cupsd hands a backend credentials only when run as root"; exit 77; }
type -P cupsd lpadmin lp lpstat ipptool ps2pdf >/dev/null || { echo "FAIL: see scripts/install-deps.sh"; exit 1; }
work=$(mktemp -d /tmp/pralix-cupsd.XXXXXX)
. "$(dirname "$0")/script_lib.sh"
trap 'kill "${pids[@]}" 2>/dev/null; wait; rm -rf "$work"' EXIT
chmod 755 "$work"
out=$work/transcript.txt
check() { if "${@:2}"; then echo "ok: $1"; else echo "FAIL: $1"; fi >>"$out"; }  # check WHAT COMMAND...

DESTDIR="$work/root" cmake --install "$build" --prefix /usr >/dev/null || { echo "FAIL: cmake --install"; exit 1; }
mkdir -p "$work/serverbin/backend" "$work/etc/ppd" "$work/spool/tmp" "$work/log"
cp "$work/root/usr/lib/cups/backend/pralix" "$work/serverbin/backend/"
cp -r "$work/root/usr/lib/pralix" "$work/pralix"
for d in filter daemon notifier driver; do ln -s "/usr/lib/cups/$d" "$work/serverbin/$d"; done
chown root:lp "$work/spool" && chmod 710 "$work/spool"
chown lp:lp "$work/spool/tmp" && chmod 1770 "$work/spool/tmp"
printf '%s\n' "Listen 127.0.0.1:$port" "LogLevel debug" "<Policy default>" "<Limit All>" "Order deny,allow" "</Limit>" \
  "</Policy>" >"$work/etc/cupsd.conf"
printf '%s\n' "ServerRoot $work/etc" "ServerBin $work/serverbin" "RequestRoot $work/spool" "CacheDir $work/cache" \
  "StateDir $work/state" "AccessLog $work/log/access_log" "ErrorLog $work/log/error_log" "PageLog $work/log/page_log" \
  >"$work/etc/cups-files.conf"

server 81 --require user,password --accept alice:s3cret:42
server 82 --require account --accept ::A-1002
/usr/sbin/cupsd -f -c "$work/etc/cupsd.conf" -s "$work/etc/cups-files.conf" >"$work/cupsd.out" 2>&1 &
pids+=($!)
H=(-h "127.0.0.1:$port")
until_ok 100 eval 'lpstat "${H[@]}" -r 2>/dev/null | grep -q "is running"'

ppd="$work/root/usr/share/ppd/pralix/pralix.ppd"
lpadmin "${H[@]}" -p pq -E -v "pralix://${net}81" -P "$ppd" -o auth-info-required=username,password -o Gamma=2
lpadmin "${H[@]}" -p aq -E -v "pralix://${net}82" -P "$ppd" 2>/dev/null

uri() { echo "ipp://127.0.0.1:$port/printers/$1"; }
state() {  # state QUEUE JOB: "job-state job-state-reasons"
  ipptool -t -v -d "job=$2" "$(uri "$1")" "$examples/job-state.test" 2>/dev/null |
    awk -F' = ' '/job-state \(enum\)/ { s = $2 } /job-state-reasons/ { r = $2 } END { print s, r }'
}
wait_state() {  # wait_state QUEUE JOB WORD: until the state holds WORD (30 s at most)
  local q=$1 j=$2 w=$3
  until_ok 300 eval 'state "$q" "$j" | grep -q "$w"' || { echo "  job $j on $q: $(state "$@")"; return 1; }
}
lp_id() {  # lp_id QUEUE LP_ARGUMENTS...: the job's id
  lp "${H[@]}" -d "$@" | sed -n "s/^request id is $1-\([0-9]*\).*/\1/p"
}
submit() {  # submit QUEUE USER PASSWORD ACCOUNT [ipptool -d ...]: the job's id
  local queue=$1 user=$2 pass=$3 account=$4; shift 4
  ipptool -t -v -d "authuser=$user" -d "authpass=$pass" -d "account=$account" "$@" -f "$sample" "$(uri "$queue")" \
    "$examples/print-job.test" 2>/dev/null | awk '/job-id \(integer\)/ { print $NF; exit }'
}

# Credentials and account from the job, the queue's default, the job's own option.
job=$(submit pq alice s3cret 42 -d sides=two-sided-short-edge)
check "a PostScript job with its credentials prints" wait_state pq "$job" completed

# A PDF job: CUPS's filters turn it into PostScript, and the ticket goes in.
ps2pdf "$sample" "$work/sample.pdf"
id=$(lp_id aq -o job-account-id=A-1002 "$work/sample.pdf")
check "a PDF job prints" wait_state aq "$id" completed

# A rejected identity: held for authentication, released with good credentials.
job=$(submit pq alice wrong 42)
check "a rejected identity holds the job for authentication" wait_state pq "$job" cups-held-for-authentication
ipptool -t -d "job=$job" -d authuser=alice -d authpass=s3cret "$(uri pq)" "$examples/authenticate-job.test" >/dev/null
check "CUPS-Authenticate-Job with good credentials prints it" wait_state pq "$job" completed

# No account number: held; released with one.
id=$(lp_id aq -o Collate=True "$sample")
check "a job without its account number is held" wait_state aq "$id" pending-held
lp "${H[@]}" -i "$id" -o job-account-id=A-1002 -H resume
check "lp -H resume with the account number prints it" wait_state aq "$id" completed

# A device URI with a password stops its queue, and no message a user can read shows the password.
lpadmin "${H[@]}" -p uq -E -v "pralix://alice:s3cret@${net}81" -P "$ppd" 2>/dev/null
id=$(lp_id uq "$sample")
check "a device URI with a password stops its queue" until_ok 300 eval 'lpstat "${H[@]}" -p uq | grep -q disabled'
check "the queue's message names what is wrong, not the password" sh -c \
  "lpstat ${H[*]} -l -p uq | grep -q 'names a user or password' && ! lpstat ${H[*]} -l -p uq | grep -q s3cret"

check "no password in cupsd's error log at LogLevel debug" sh -c "! grep -q s3cret '$work/log/error_log'"

# The tickets: on 81 the job's user and account, the queue default (lpadmin -o Gamma=2), the job's sides, and the
# released job's; on 82 the PDF job's, as PostScript, and the released job's account number and option.
until_ok 50 eval '[ "$(cat "$work"/server8[12].out | grep -c "^job from")" -ge 4 ]'
for s in 81 82; do
  echo "## server $s"
  grep -v "^\(job from\|listening on\|raw print port on\) " "$work/server$s.out"
done >>"$out"
golden "$out" "$golden" || { echo "--- cupsd's error log, last lines:"; tail -40 "$work/log/error_log"; exit 1; }
