#!/usr/bin/env bash
# The printer application never loses, cuts or doubles a job it accepted, in a network namespace of its own (the
# application on 192.0.2.13:8631): uploads cut or stalled end aborted and never print; an idle connection is closed;
# SIGTERM gives up a job in flight with a reset and the job prints again after the restart; jobs queued or held at a
# restart wait on the Held jobs page; many small jobs from four clients at once each reach the print server once,
# their end states true. A golden transcript. Root only.
set -u
. "$(dirname "$0")/own_namespace.sh" 192.0.2.13 "$@"
build=$1 sample=$2 golden=$4/printer_app_whole.txt work=$5 net=127.0.0. here=$(cd "$(dirname "$0")" && pwd)
type -P ipptool curl gs setsid >/dev/null || { echo "FAIL: see scripts/install-deps.sh"; exit 1; }
. "$here/script_lib.sh"
out=$work/transcript.txt host=192.0.2.13 port=8631
app() { ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0 timeout 60 "$build/bin/pralix-printer-app" "$@"; }
start_app() {  # the server, until its local socket is there; its PATH $app_path if set
  rm -f /run/pralix-printer-app.sock
  env ${app_path:+PATH="$app_path"} "$build/bin/pralix-printer-app" server -o listen-hostname=$host -o state-directory="$work/state" \
    -o spool-directory="$work/spool" -o log-file="$work/app.log" -o client-timeout=3s >>"$work/app.out" 2>&1 &
  apppid=$! pids+=($!)
  until_ok 100 test -S /run/pralix-printer-app.sock || { echo "FAIL: the server did not start"; exit 1; }
  sleep 1.1  # PAPPL 1.3.1 reports printer-up-time 0 in a printer's first second
}
ipp() {  # ipp CREDS PRINTER TESTFILE [ipptool -d ...]: as root (an administrator), without a terminal
  local creds=${1#-}
  setsid -w timeout 60 ipptool -t "${@:4}" "ipps://${creds:+$creds@}$host:$port/ipp/print/$2" "$3" </dev/null 2>&1
}
state() {  # state PRINTER JOB: its state and message
  ipp - "$1" "$here/printer_app_access.test" -d attrs=1 -d job="$2" |
    sed -n 's/^ *\(job-state\|job-state-message\|job-impressions-completed\) ([^)]*) = \(.*\)/  \1 = \2/p'
}
ended() {  # ended PRINTER JOB: its state once it has ended (30 s at most)
  local p=$1 j=$2
  until_ok 300 eval 'state "$p" "$j" | grep -qE "= (completed|aborted|canceled)$"'
  state "$p" "$j"
}
upload() { timeout 120 python3 "$here/raw_upload.py" "$host" "$port" "/ipp/print/$1" "${@:2}"; }
jobs_at() { grep -c "^job from" "$work/server$1.out"; }

server 50 --show-secrets
server 51 --raw-pause 65536:8
server 52 --require user,password --accept alice:s3cret:1 --show-secrets
start_app
for p in "cut 50" "term 51" "id 52" "many 50" "manyid 52"; do
  set -- $p
  app add -d "$1" -v "pralix://$net$2" -m pralix >/dev/null
done
{ head -c 2000 "$sample"; head -c 4M /dev/zero | tr '\0' x; } >"$work/big.ps"
gs -q -dSAFER -sDEVICE=pwgraster -dcupsColorSpace=18 -dcupsBitsPerColor=8 -r100 -o "$work/gray.pwg" "$sample" "$sample"
gs -q -dSAFER -sDEVICE=urf -dcupsColorSpace=18 -dcupsBitsPerColor=8 -r100 -o "$work/gray.urf" "$sample" "$sample"
# An Apple raster that promises three pages and holds two; a PWG raster whose second page's header is junk.
{ head -c 8 "$work/gray.urf"; printf '\0\0\0\3'; tail -c +13 "$work/gray.urf"; } >"$work/three.urf"
gs -q -dSAFER -sDEVICE=pwgraster -dcupsColorSpace=18 -dcupsBitsPerColor=8 -r100 -o "$work/one.pwg" "$sample"
page=$(stat -c %s "$work/one.pwg")  # where the first page ends
{ cat "$work/one.pwg"; head -c 2000 /dev/zero; } >"$work/junk.pwg"
{
  echo "## uploads: whole, and cut or malformed (each ends aborted, nothing whole reaches the print server)"
  n=0
  for u in "$sample application/postscript whole" "$work/big.ps application/postscript cut-chunked 2000000" \
    "$work/big.ps application/postscript cut-length 2000000" "$work/gray.pwg image/pwg-raster cut-length $((page / 2))" \
    "$work/gray.pwg image/pwg-raster cut-chunked $page" "$work/junk.pwg image/pwg-raster whole" \
    "$work/three.urf image/urf whole"; do
    set -- $u
    n=$((n + 1))
    echo "${1##*/} $3 ${4:-}:"
    upload cut "$@" | sed 's/^/  /'
    ended cut "$n"
  done
  # How much of a given-up raster job reached the print server before its reset varies: only whole ones count.
  echo "whole jobs at the print server: $(grep -c '^job from.*options$' "$work/server50.out")"
  echo "## a raster upload that stalls: given up after client-timeout; another client's job then prints"
  upload cut "$work/gray.pwg" image/pwg-raster stall 5000 | sed 's/^/  /' &
  stalled=$!
  sleep 1
  after=$(ipp - cut "$here/printer_app.test" -f "$sample" -d title=after | sed -n 's/^ *job-id (integer) = //p')
  wait "$stalled"
  echo "the stalled job:"; ended cut $((after == 8 ? 9 : 8))
  echo "the other client's:"; ended cut "$after"
  echo "## a connection that sends nothing: closed by the server after client-timeout"
  upload cut "$sample" application/postscript idle | sed 's/^/  /'
  echo "## SIGTERM while a job waits on a print server that stopped reading: stopped at once, the job reset"
  ipp - term "$here/printer_app.test" -f "$work/big.ps" | sed -n 's/^ *job-id (integer) = \(.*\)/  job \1/p'
  until_ok 300 grep -q "raw job paused" "$work/server51.out"
  kill -TERM "$apppid"
  until_ok 100 eval '! kill -0 "$apppid" 2>/dev/null' && echo "stopped within 10 s" || echo "still running after 10 s"
  wait "$apppid"
  until_ok 100 grep -q "^job from" "$work/server51.out"
  sed -n 's/^job from [^:]*: [0-9]* bytes/job from PEER: N bytes/p' "$work/server51.out"
  start_app
  echo "after the restart, the job prints again from its start:"
  ended term 1
  echo "whole jobs at its print server: $(grep -c '^job from.*options$' "$work/server51.out")"
  echo "## a job with credentials is uploaded once: the request without them is answered 401 from its headers"
  rx() { awk '/ lo:/ { print $2 }' /proc/net/dev; }
  before=$(rx) size=$(stat -c %s "$work/big.ps")
  ipp alice:s3cret id "$here/printer_app.test" -f "$work/big.ps" -d title=big | sed -n 's/^ *job-id (integer) = \(.*\)/  job \1/p'
  until_ok 300 grep -q "^job from" "$work/server52.out"
  # Loopback carries the document from the client and to the print server's raw port, each once.
  echo "document uploads: $(awk -v d="$(($(rx) - before))" -v s="$size" 'BEGIN { print int(d / s + 0.5) - 1 }')"
  grep -c "answered 401 before its document" "$work/app.log"
  echo "## jobs queued or held at a restart: the one with credentials and the held one wait for a sign-in"
  app pause -d id
  ipp alice:s3cret id "$here/printer_app.test" -f "$sample" -d title=queued | sed -n 's/^ *job-id (integer) = \(.*\)/  job \1/p'
  app submit -d id "$sample" >/dev/null
  until_ok 200 eval 'state id 3 | grep -q "Held until"'
  kill -TERM "$apppid" && wait "$apppid"
  start_app
  echo "after the restart:"
  app resume -d id
  until_ok 100 eval 'state id 2 | grep -q "after a restart"'
  state id 2
  state id 3
  timeout 30 curl -sk "https://$host:$port/id/held" | grep -o '<tr><td>[0-9]*</td><td>[^<]*' | sed 's/<[^>]*>/ /g'
  echo "## 100 small jobs from four clients at once, to a print server requiring nobody, then one requiring identity"
  for p in "many - 50" "manyid alice:s3cret 52"; do
    set -- $p
    printer=$1 creds=$2 at=$3 before=$(jobs_at "$3")
    clients=()
    for c in 1 2 3 4; do
      for j in $(seq 25); do ipp "$creds" "$printer" "$here/printer_app.test" -f "$sample" -d title="c$c-j$j"; done >/dev/null &
      clients+=($!)
    done
    wait "${clients[@]}"
    states() { ipp - "$printer" "$here/printer_app_access.test" -d jobs=1 | sed -n 's/^ *job-state (enum) = //p'; }
    until_ok 600 eval '[ "$(states | grep -c completed)" -ge 100 ]'
    echo "$printer: $(states | sort | uniq -c | tr -s ' ' | paste -sd,)"
    echo "  at the print server: $(($(jobs_at "$at") - before)) jobs, $(grep -o 'DocComment c[0-9]*-j[0-9]*' \
      "$work/server$at.out" | sort -u | wc -l) different titles"
  done
  echo "## the state after them: the jobs not yet ended only, no title of an ended job"
  until_ok 100 eval '[ "$(grep -c "^Job " "$work/state/pralix-printer-app.state")" -le 2 ]'
  echo "jobs in the state: $(grep -c "^Job " "$work/state/pralix-printer-app.state"), titles of ended jobs:" \
    "$(grep -c "c[0-9]-j[0-9]" "$work/state/pralix-printer-app.state")"
  echo "## pages counted (a PostScript job of three pages), and a PDF job where only Ghostscript is installed"
  { sed -n '1,/^%%EndSetup/p' "$sample"; printf '%%%%Page: %s %s\nshowpage\n' 1 1 2 2 3 3; } >"$work/three.ps"
  ipp - many "$here/printer_app.test" -f "$work/three.ps" | sed -n 's/^ *job-id (integer) = \(.*\)/  job \1/p'
  ended many 101
  kill -TERM "$apppid" && wait "$apppid"
  mkdir "$work/gs-only" && ln -s "$(type -P gs)" "$work/gs-only/gs"
  app_path=$work/gs-only start_app
  ps2pdf "$sample" "$work/sample.pdf"
  ipp - many "$here/printer_app.test" -f "$work/sample.pdf" | sed -n 's/^ *job-id (integer) = \(.*\)/  job \1/p'
  ended many 102
  # How often PAPPL 1.3.1 starts a job a second time varies: that it never prints twice is what the counts show.
  echo "  started twice: $(grep -c 'Started a second time\|Started again after it ended' "$work/app.log") (varies)"
} >>"$out" 2>&1
sed -i 's/^\(  started twice: \)[0-9]*/\1N/' "$out"
golden "$out" "$golden"
