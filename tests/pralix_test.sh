#!/usr/bin/env bash
# The CUPS backend installed as a package installs it (cmake --install into a
# DESTDIR) and run as CUPS runs it, without cupsd: arguments, environment, the
# job on standard input or in a file, against reference print servers that
# this script starts on loopback with raw print ports and stops by process id.
# Every run's exit status, status lines and what the server printed of the
# job (its decoded ticket) go to one transcript, compared with the golden one.
#   pralix_test.sh BUILD_DIR SAMPLE TEST_NET GOLDEN WORK   (UPDATE_GOLDEN=1 rewrites it)
set -u
build=$1 sample=$2 net=$3 golden=$4 work=$5
rm -rf "$work"
mkdir -p "$work/tmp"
out=$work/transcript.txt
pids=()
trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done; wait' EXIT

DESTDIR=$work/root cmake --install "$build" --prefix /usr >/dev/null || { echo "FAIL: cmake --install"; exit 1; }
root=$work/root/usr
backend=$root/lib/cups/backend/pralix
{
  echo "## installed"
  (cd "$root" && find . -type f -printf '%m %p\n' | sort)
  echo "## discovery"
  "$backend"
  echo "exit $?"
} >"$out"

server() {  # server NAME HOST OPTIONS...
  local name=$1 host=$2
  shift 2
  "$build/bin/umpd-printserver" --address "$net$host" --raw-port 9100 "$@" >"$work/$name.out" 2>&1 &
  pids+=($!)
  for _ in $(seq 50); do grep -q "listening on" "$work/$name.out" && return; sleep 0.1; done
  echo "FAIL: the server $name did not start: $(cat "$work/$name.out")"
  exit 1
}
server open 60
server identity 61 --require user,password --accept alice:s3cret:42 --admin-message "Ask the desk" \
  --admin-email desk@example.com
server account 62 --require account --accept ::A-1002
server r403 63 --reply-code 403
server r500 64 --reply-code 500
server noraw 65 --raw-port 0
server closes 68 --close-without-reply
server both 69 --require user,password,account --accept alice:s3cret:42
server stream 67

# job WHAT HOST [VAR=VALUE...] -- COPIES OPTIONS [FILE|-]: one run of the
# backend (the sample as its file unless FILE is given; "-": standard input).
job() {
  local what=$1 host=$2 name=x before=0 rc file=$sample
  shift 2
  [[ ! $host =~ ^[0-9]+$ ]] || host=$net$host
  local env=()
  while [ "$1" != -- ]; do env+=("$1"); shift; done
  shift
  for s in "$work"/*.out; do grep -q "on $host:" "$s" && name=$(basename "$s" .out); done
  [ $# -lt 3 ] || file=$3
  local args=(42 bob "My title" "$1" "$2")
  [ "$file" = - ] || args+=("$file")
  [ $name = x ] || before=$(grep -c "job from" "$work/$name.out")
  env -u AUTH_USERNAME -u AUTH_PASSWORD -u PPD DEVICE_URI="pralix://$host" TMPDIR="$work/tmp" \
    XDG_RUNTIME_DIR="$work/tmp" "${env[@]}" timeout 60 "$backend" "${args[@]}" <"$sample" 2>"$work/err"
  rc=$?
  # The server prints a job's ticket once it has read the whole job.
  for _ in $(seq 100); do
    [ $rc != 0 ] || [ "$(grep -c "job from" "$work/$name.out")" -ge $((before + $1)) ] && break
    sleep 0.05
  done
  { echo "## $what"; echo "exit $rc"; cat "$work/err"; } >>"$out"
  [ $name = x ] || awk -v n="$before" '/^(listening|raw print port) on/ { next } seen >= n { print } /^job from/ { seen++ }' \
    "$work/$name.out" >>"$out"
}

job "printed from a file" 60 -- 1 "Duplex=DuplexTumble OutputBin=3 job-account-id=77"
job "printed from standard input" 60 -- 1 DocComment=proofs -
job "identity not given" 61 -- 1 ""
job "identity rejected: a password that differs in case alone" 61 AUTH_USERNAME=alice AUTH_PASSWORD=S3cret -- 1 \
  job-password=4711
job "identity accepted, with a secure-print password" 61 AUTH_USERNAME=alice AUTH_PASSWORD=s3cret -- 1 job-password=4711
job "account not given" 62 -- 1 ""
job "neither identity nor account given: identity first" 69 -- 1 ""
job "account rejected" 62 -- 1 job-account-id=B-7
job "account accepted (job-billing)" 62 -- 1 job-billing=A-1002
job "user ID too long" 61 AUTH_USERNAME=uuuuuuuuuuuuuuuuuuuuuuuuu AUTH_PASSWORD=s3cret -- 1 ""
job "secure-print password too long" 60 -- 1 job-password=123456789
job "encrypted secure-print password" 60 -- 1 "job-password=abc job-password-encryption=md5"
job "server unreachable" 66 -- 1 ""
job "raw port refused" 65 -- 1 ""
job "connection lost" 68 -- 1 ""
job "address invalid (403)" 63 -- 1 ""
job "unexpected reply (500)" 64 -- 1 ""
job "device URI too long" a-name-of-sixteen-c -- 1 ""
job "unreadable file" 60 -- 1 "" /nonexistent/job.ps
job "two copies, each with its own ticket and guard line" 60 -- 2 job-password=4711
job "an output bin with no tray" 60 -- 1 output-bin=bottom-shelf

# The queue's defaults come from its PPD (two changed, as lpadmin -o changes
# them); the job's options win over them, and a desktop's standard
# attributes over both.
sed -e 's/^\*DefaultDuplex: None/*DefaultDuplex: DuplexNoTumble/' -e 's/^\*DefaultGamma: 4/*DefaultGamma: 2/' \
  "$root/share/ppd/pralix/pralix.ppd" >"$work/queue.ppd"
for options in "" "Gamma=5 Collate=True StaplePosition=StapleDualPortrait RGBProfile=AdobeRGB" \
  "Duplex=DuplexTumble sides=one-sided print-color-mode=monochrome collate=true output-bin=tray-4" \
  "multiple-document-handling=separate-documents-collated-copies output-bin=face-up"; do
  job "queue defaults and: $options" 60 PPD="$work/queue.ppd" -- 1 "$options"
done

# The job streams: the server has the bytes written so far while the input
# is still open (it ends a job after 5 s of silence); a cancel (SIGTERM)
# then ends the backend at once.
mkfifo "$work/in"
DEVICE_URI="pralix://${net}67" TMPDIR="$work/tmp" "$backend" 7 bob stream 1 "" <"$work/in" 2>"$work/err" &
pid=$!
exec 3>"$work/in"
{
  printf '%%!PS-Adobe-3.0\n%%%%Title: stream\n%%%%EndComments\n'
  head -c 200000 /dev/zero | tr '\0' '%'
  echo
} >&3
for _ in $(seq 150); do grep -q "job from" "$work/stream.out" && break; sleep 0.1; done
kill -TERM $pid
for _ in $(seq 50); do kill -0 $pid 2>/dev/null || break; sleep 0.1; done
kill -KILL $pid 2>/dev/null
wait $pid
rc=$?
{ echo "## streamed, then cancelled"; echo "exit $rc"; cat "$work/err"; grep "job from" "$work/stream.out"; } >>"$out"
exec 3>&-

# Passwords reach no status line and no file: not even a refused job's,
# which no ticket writer empties (the record holds them as UTF-16LE).
failures=0
for secret in s3cret S3cret 4711; do
  grep -qF "$secret" "$out" && echo "FAIL: the password $secret in the transcript" && failures=1
  grep -rqaP "$secret|$(sed 's/./&\\x00/g' <<<"$secret")" "$work/tmp" && echo "FAIL: $secret in a file" && failures=1
done

sed -i -e "s/${net//./\\.}/NET./g" -e 's/job from [0-9.]*:[0-9]*/job from PEER/' "$out"
[ -z "${UPDATE_GOLDEN:-}" ] || cp "$out" "$golden"
diff -u "$golden" "$out" && [ $failures = 0 ]
