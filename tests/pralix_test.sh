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
server 71 --raw-reset
server 72 --raw-pause 1048576:90
server 74

# [VAR=VALUE...] job WHAT HOST|URI COPIES OPTIONS [FILE|-]: one run of the backend, the sample as its file unless
# FILE is given ("-": standard input); no password may reach a file, not even a refused job's (UTF-16LE in the record).
secrets='s3cret|S3cret|4711|s\x003\x00c\x00r\x00e\x00t|S\x003\x00c\x00r\x00e\x00t|4\x007\x001\x001'
job() {
  local log=$work/server${log:-$2}.out uri=$2 copies=$3 file=${5-$sample} rc before
  [[ ! $uri =~ ^[0-9]+$ ]] || uri=$net$uri
  [[ $uri == *://* ]] || uri=pralix://$uri
  [ "$file" != - ] || file=
  before=$(cat "$log" 2>/dev/null | grep -c "job from")
  DEVICE_URI=$uri TMPDIR="$work/tmp" XDG_RUNTIME_DIR="$work/tmp" ${wrap:-} timeout 60 "$backend" 42 bob "${title:-My title}" \
    "$3" "$4" ${file:+"$file"} <"$sample" 2>"$work/err"
  rc=$?
  [ $rc != 0 ] || until_ok 50 eval '[ "$(grep -c "job from" "$log")" -ge $((before + copies)) ]'
  { echo "## $1"; echo "exit $rc"; sed -E '/^DEBUG: Drv/s/ [0-9a-f]{6,}/ H/g' "$work/err"; } >>"$out"
  awk -v n="$before" '/^(listening|raw print port) on/ { next } seen >= n { print } /^job from/ { seen++ }' "$log" \
    >>"$out" 2>/dev/null
  ! grep -rqaP "$secrets" "$work/tmp" || echo "FAIL: a password in a file" >>"$out"
}
# background NAME COMMAND...: a long row run beside the others; its transcript joins the end.
background() { ("${@:2}" >"$work/$1.row" 2>&1) & rows+=("$1") rowpids+=($!); }
rows=() rowpids=()

# A printer that stops reading for 90 s in the middle of a 64 MiB job is waited for and gets the whole job; meanwhile
# no other process reads the credentials in the backend's environment.
{ head -c 2000 "$sample"; head -c 64M /dev/zero | tr '\0' 'x'; } >"$work/big.ps"
paused() {
  AUTH_USERNAME=alice AUTH_PASSWORD=s3cret DEVICE_URI=pralix://${net}72 "$backend" 9 bob big 1 "" \
    "$work/big.ps" 2>"$work/paused.err" &
  local pid=$! waits
  until_ok 300 grep -q "not taking data" "$work/paused.err"
  grep -qa DEVICE_URI "/proc/$pid/environ" && ! grep -qa s3cret "/proc/$pid/environ" &&
    echo "credentials not in /proc/PID/environ"
  until_ok 1500 eval '! kill -0 $pid 2>/dev/null' || kill $pid
  wait $pid
  echo "exit $?"
  waits=$(grep -c "waiting for it" "$work/paused.err")
  [ "$waits" -ge 6 ] && echo "waiting reported every 10 s: yes"
  grep -v -e "waiting for it" -e "connecting-to-device" -e "^DEBUG" "$work/paused.err"
  grep "^job from" "$work/server72.out"
}
background paused paused

# A print server that refuses connections, then comes back after two refusals: the job waits for it.
comeback() {
  DEVICE_URI=pralix://${net}70 timeout 60 "$backend" 9 bob back 1 "" "$sample" 2>"$work/back.err" &
  local pid=$!
  until_ok 300 eval '[ "$(grep -c "will retry" "$work/back.err")" -ge 2 ]'
  server 70
  wait $pid
  echo "exit $?"
  kill "${pids[-1]}"
  grep -v "^DEBUG" "$work/back.err"
  grep "^job from" "$work/server70.out"
}
background comeback comeback

job "printed from a file" 60 1 "Duplex=DuplexTumble OutputBin=3 job-account-id=77"
job "printed from standard input" 60 1 DocComment=proofs -
job "identity not given" 61 1 ""
title="Test Page" job "identity not given, titled Test Page" 61 1 ""
AUTH_USERNAME=alice AUTH_PASSWORD=S3cret job "identity rejected: a password differing in case" 61 1 job-password=4711
AUTH_USERNAME=alice AUTH_PASSWORD=s3cret job "identity accepted, with a secure-print password" 61 1 job-password=4711
job "account not given" 62 1 ""
job "neither identity nor account given: identity first" 69 1 ""
job "account rejected" 62 1 job-account-id=B-7
job "account accepted (job-billing)" 62 1 job-billing=A-1002
AUTH_USERNAME=uuuuuuuuuuuuuuuuuuuuuuuuu AUTH_PASSWORD=s3cret job "user ID too long" 61 1 ""
job "secure-print password too long" 60 1 job-password=123456789
job "encrypted secure-print password" 60 1 "job-password=abc job-password-encryption=md5"
job "a secure-print password outside the ticket's code page" 60 1 "job-password=Ω123"
CLASS=c job "server unreachable, in a class" 66 1 ""
CLASS=c job "raw port refused, in a class" 65 1 ""
job "connection lost" 68 1 ""
job "address invalid (403)" 63 1 ""
job "unexpected reply (500)" 64 1 ""
job "a URI with a password" "pralix://alice:s3cret@${net}60" 1 ""
job "a URI of another scheme" "socket://${net}60" 1 ""
job "an IPv6 address" "pralix://[::1]" 1 ""
job "a long host name that does not resolve" a-name-of-sixteen-c 1 ""
CLASS=c job "a long host name that does not resolve, in a class" a-name-of-sixteen-c 1 ""
printf '%s\n' "${net}60 a-long-print-server-name.example" "::1 ipv6-only-print-server.example" >"$work/hosts"
printf '#!/bin/sh\nexec unshare -rm sh -c '"'"'mount --bind "$0" /etc/hosts && exec "$@"'"'"' %s "$@"\n' "$work/hosts" \
  >"$work/inhosts"
chmod +x "$work/inhosts"
log=60 wrap=$work/inhosts job "a long host name, resolved to its IPv4 address" a-long-print-server-name.example 1 ""
wrap=$work/inhosts job "a long host name with only IPv6 addresses" ipv6-only-print-server.example 1 ""
job "unreadable file" 60 1 "" /nonexistent/job.ps
job "a file that opens but cannot be read" 60 1 "" "$work"
# Standard input a connection that resets after the job's header: reading fails part-way, and nothing prints.
python3 -c 'import socket, struct, subprocess, sys, time
srv = socket.create_server((sys.argv[1], 0)); cli = socket.create_connection(srv.getsockname()); peer = srv.accept()[0]
peer.sendall(open(sys.argv[2], "rb").read()); p = subprocess.Popen(sys.argv[3:], stdin=cli); time.sleep(3)
peer.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0)); peer.close(); sys.exit(p.wait(60))' \
  "${net}73" "$sample" env DEVICE_URI="pralix://${net}74" "$backend" 8 bob cut 1 "" 2>"$work/err"
rc=$?
until_ok 100 grep -q "job from" "$work/server74.out"
{ echo "## reading fails after the header"$'\n'"exit $rc"; grep -v "^DEBUG" "$work/err"
  sed -n 's/job from \(.*\): [0-9]* bytes/job from \1: N bytes/p' "$work/server74.out"; } >>"$out"
job "two copies, each with its own ticket and guard line" 60 2 job-password=4711
job "an output bin with no tray" 60 1 output-bin=bottom-shelf
job "the printer resets after it read the whole job" 71 1 ""

# The document's ticket lines speak for nobody, before its %%EndComments or after: made inert, the inserted block the
# only ticket. A title with the tag in it is no place for the ticket: the guard line begins a line of its own.
printf '%%!PS-Adobe-3.0\r\n%%%%Title: not %%%%EndComments\r\n%%%%PRALIX: DocOwner boss\n%%%%PRALIX: AccountNumber 9999\n' \
  >"$work/forged.ps"
printf '%%%%EndComments\n%%%%PRALIX: Spool Save\r\n%%%%PRALIX: DocOwner after\nshowpage\n' >>"$work/forged.ps"
job "a header with forged ticket lines, the tag in its title, more after it" 60 1 job-password=4711 "$work/forged.ps"

# No place for the ticket: printed with a warning, unless the job carries what only the ticket brings.
printf '%%!PS-Adobe-3.0\n%%%%Title: a title with %%%%EndComments in it\nshowpage\n' >"$work/noplace.ps"
printf '%%PDF-1.4\n1 0 obj << >> endobj\n%%%%EOF\n' >"$work/raw.pdf"
job "no place for the ticket" 60 1 "" "$work/noplace.ps"
job "no place for the ticket, a secure-print password" 60 1 job-password=4711 "$work/noplace.ps"
job "a raw PDF with an account" 60 1 "raw job-account-id=A-1" "$work/raw.pdf"
AUTH_USERNAME=alice AUTH_PASSWORD=s3cret job "no place for the ticket, an identity validated" 61 1 "" "$work/noplace.ps"

# The queue's defaults from its PPD (two changed, as lpadmin -o does); the job's options win over them, a desktop's
# standard attributes over both.
sed -e 's/^\*DefaultDuplex: None/*DefaultDuplex: DuplexNoTumble/' -e 's/^\*DefaultGamma: 4/*DefaultGamma: 2/' \
  "$root/share/ppd/pralix/pralix.ppd" >"$work/queue.ppd"
for options in "" "Gamma=5 Collate=True StaplePosition=StapleDualPortrait RGBProfile=AdobeRGB" \
  "Duplex=DuplexTumble sides=one-sided print-color-mode=monochrome collate=true output-bin=tray-4" \
  "multiple-document-handling=separate-documents-collated-copies output-bin=face-up" \
  "ColorModel=Gray print-color-mode=color"; do
  PPD="$work/queue.ppd" job "queue defaults and: $options" 60 1 "$options"
done

# The job streams: the server has the bytes while the input is still open (it ends a job after 5 s of silence);
# a cancel (SIGTERM) then ends the backend at once, resetting the connection so that the printer discards the job.
mkfifo "$work/in"
DEVICE_URI="pralix://${net}67" TMPDIR="$work/tmp" "$backend" 7 bob stream 1 "" <"$work/in" 2>"$work/err" &
pid=$!
exec 3>"$work/in"
printf '%%!PS-Adobe-3.0\n%%%%Title: stream\n%%%%EndComments\n' >&3
head -c 200000 /dev/zero | tr '\0' '%' >&3
until_ok 150 grep -q "DrvSplWritePrinter call #1" "$work/err"
kill -TERM $pid
# The input closed only once the cancel is seen: an end of input before it would be a whole job.
until_ok 100 grep -q "The job was cancelled" "$work/err"
exec 3>&-
wait $pid
rc=$?
until_ok 100 grep -q "job from" "$work/server67.out"
{ echo "## streamed, then cancelled"$'\n'"exit $rc"; grep -v "^DEBUG" "$work/err"
  sed -n 's/job from \(.*\): [0-9]* bytes/job from \1: N bytes/p' "$work/server67.out"; } >>"$out"
wait "${rowpids[@]}"
for row in "${rows[@]}"; do { echo "## $row"; cat "$work/$row.row"; } >>"$out"; done
golden "$out" "$golden"
