#!/usr/bin/env bash
# The CUPS backend installed into a DESTDIR, run as CUPS runs it against reference print servers: the files, each
# run's exit status, messages and decoded ticket as a golden transcript.
set -u
build=$1 sample=$2 net=$3 golden=$4/pralix_backend.txt work=$5
. "$(dirname "$0")/script_lib.sh"
unset AUTH_USERNAME AUTH_PASSWORD PPD
out=$work/transcript.txt
DESTDIR=$work/root cmake --install "$build" --prefix /usr >/dev/null || { echo "FAIL: cmake --install"; exit 1; }
root=$work/root/usr
backend=$root/lib/cups/backend/pralix
{ echo "## installed"; (cd "$root" && find . -type f -printf '%m %p\n' | sort); } >"$out"
{ echo "## discovery"; "$backend"; echo "exit $?"; } >>"$out"

server 60
server 61 --require user,password --accept alice:s3cret:42 --admin-message "Ask the desk" --admin-email desk@example.com
server 62 --require account --accept ::A-1002
server 63 --reply-code 403
server 64 --reply-code 500
server 65 --raw-port 0
server 67
server 68 --close-without-reply
server 69 --require user,password,account --accept alice:s3cret:42

# [VAR=VALUE...] job WHAT HOST COPIES OPTIONS [FILE|-]: one run of the backend, the sample as its file unless FILE
# is given ("-": standard input); no password may reach a file, not even a refused job's (UTF-16LE in the record).
secrets='s3cret|S3cret|4711|s\x003\x00c\x00r\x00e\x00t|S\x003\x00c\x00r\x00e\x00t|4\x007\x001\x001'
job() {
  local log=$work/server$2.out host=$2 copies=$3 file=${5-$sample} rc before
  [[ ! $host =~ ^[0-9]+$ ]] || host=$net$host
  [ "$file" != - ] || file=
  before=$(cat "$log" 2>/dev/null | grep -c "job from")
  DEVICE_URI="pralix://$host" TMPDIR="$work/tmp" XDG_RUNTIME_DIR="$work/tmp" timeout 60 "$backend" 42 bob "My title" \
    "$3" "$4" ${file:+"$file"} <"$sample" 2>"$work/err"
  rc=$?
  [ $rc != 0 ] || until_ok 50 eval '[ "$(grep -c "job from" "$log")" -ge $((before + copies)) ]'
  { echo "## $1"; echo "exit $rc"; cat "$work/err"; } >>"$out"
  awk -v n="$before" '/^(listening|raw print port) on/ { next } seen >= n { print } /^job from/ { seen++ }' "$log" \
    >>"$out" 2>/dev/null
  ! grep -rqaP "$secrets" "$work/tmp" || echo "FAIL: a password in a file" >>"$out"
}

job "printed from a file" 60 1 "Duplex=DuplexTumble OutputBin=3 job-account-id=77"
job "printed from standard input" 60 1 DocComment=proofs -
job "identity not given" 61 1 ""
AUTH_USERNAME=alice AUTH_PASSWORD=S3cret job "identity rejected: a password differing in case" 61 1 job-password=4711
AUTH_USERNAME=alice AUTH_PASSWORD=s3cret job "identity accepted, with a secure-print password" 61 1 job-password=4711
job "account not given" 62 1 ""
job "neither identity nor account given: identity first" 69 1 ""
job "account rejected" 62 1 job-account-id=B-7
job "account accepted (job-billing)" 62 1 job-billing=A-1002
AUTH_USERNAME=uuuuuuuuuuuuuuuuuuuuuuuuu AUTH_PASSWORD=s3cret job "user ID too long" 61 1 ""
job "secure-print password too long" 60 1 job-password=123456789
job "encrypted secure-print password" 60 1 "job-password=abc job-password-encryption=md5"
job "server unreachable" 66 1 ""
job "raw port refused" 65 1 ""
job "connection lost" 68 1 ""
job "address invalid (403)" 63 1 ""
job "unexpected reply (500)" 64 1 ""
job "device URI too long" a-name-of-sixteen-c 1 ""
job "unreadable file" 60 1 "" /nonexistent/job.ps
job "a file that opens but cannot be read" 60 1 "" "$work"
job "two copies, each with its own ticket and guard line" 60 2 job-password=4711
job "an output bin with no tray" 60 1 output-bin=bottom-shelf

# The queue's defaults from its PPD (two changed, as lpadmin -o does); the job's options win over them, a desktop's
# standard attributes over both.
sed -e 's/^\*DefaultDuplex: None/*DefaultDuplex: DuplexNoTumble/' -e 's/^\*DefaultGamma: 4/*DefaultGamma: 2/' \
  "$root/share/ppd/pralix/pralix.ppd" >"$work/queue.ppd"
for options in "" "Gamma=5 Collate=True StaplePosition=StapleDualPortrait RGBProfile=AdobeRGB" \
  "Duplex=DuplexTumble sides=one-sided print-color-mode=monochrome collate=true output-bin=tray-4" \
  "multiple-document-handling=separate-documents-collated-copies output-bin=face-up"; do
  PPD="$work/queue.ppd" job "queue defaults and: $options" 60 1 "$options"
done

# The job streams: the server has the bytes while the input is still open (it ends a job after 5 s of silence);
# a cancel (SIGTERM) then ends the backend at once.
mkfifo "$work/in"
DEVICE_URI="pralix://${net}67" TMPDIR="$work/tmp" "$backend" 7 bob stream 1 "" <"$work/in" 2>"$work/err" &
pid=$!
exec 3>"$work/in"
printf '%%!PS-Adobe-3.0\n%%%%Title: stream\n%%%%EndComments\n' >&3
head -c 200000 /dev/zero | tr '\0' '%' >&3
until_ok 150 grep -q "job from" "$work/server67.out"
kill -TERM $pid
exec 3>&-
wait $pid
{ echo "## streamed, then cancelled"$'\n'"exit $?"; cat "$work/err"; grep "job from" "$work/server67.out"; } >>"$out"
golden "$out" "$golden"
