#!/usr/bin/env bash
# What a silent print server costs the other printers of the printer application: printer "a" names a print server
# that takes connections and never answers, printer "b" a healthy one. Prints how long a job to b takes to be
# accepted and to reach b's print server, alone and while a job to a waits on its server; then how long a second job
# to a, sent as the first is refused, waits for its own refusal, and two jobs to a sent at once. Root: a network and
# mount namespace of its own.
#   bench/silent_server_bench.sh [BUILD_DIR]   (default build/linux)
set -u
build=$(cd "${1:-build/linux}" && pwd)
if [ -z "${BENCH_NAMESPACE:-}" ]; then
  [ "$(id -u)" = 0 ] || { echo "silent_server_bench: needs root (a network namespace of its own)" >&2; exit 1; }
  BENCH_NAMESPACE=1 exec unshare -n -m bash "$0" "$build"
fi
ip link set lo up && mount --make-rprivate / && mount -t tmpfs tmpfs /run || exit 1
work=/run/bench pids=()
mkdir -p "$work"
trap 'kill "${pids[@]}" 2>/dev/null; wait' EXIT
wait_for() { for _ in $(seq 1200); do "$@" && return 0; sleep 0.05; done; return 1; }  # a minute at most
jobs_seen() { [ "$(grep -c "^job from" "$work/server20.out")" -ge "$1" ]; }
now() { date +%s.%N; }
since() { awk -v s="$1" -v n="$(now)" 'BEGIN { printf "%.2f", n - s }'; }
submit() { ipptool -tv -f "$work/job.ps" "ipp://127.0.0.1:18631/ipp/print/$1" print-job.test 2>&1 |
  sed -n 's/^ *status-code = \([a-z-]*\).*/\1/p;s/^.*\(HTTP[^,]*\).*/\1/p' | head -1; }

printf '%s\n' '%!PS' '%%EndComments' 'showpage' >"$work/job.ps"
"$build/bin/umpd-printserver" --address 127.0.0.20 --raw-port 9100 >"$work/server20.out" 2>&1 &
pids+=($!)
# Answers after a minute: past the library's 20 s network wait, so never for the job.
"$build/bin/umpd-printserver" --address 127.0.0.30 --raw-port 9100 --delay-ms 60000 >"$work/server30.out" 2>&1 &
pids+=($!)
"$build/bin/pralix-printer-app" server -o listen-hostname=127.0.0.1 -o server-port=18631 \
  -o state-directory="$work/state" -o log-file="$work/app.log" >"$work/app.out" 2>&1 &
pids+=($!)
wait_for test -S /run/pralix-printer-app.sock && wait_for grep -q "listening on" "$work/server20.out" &&
  wait_for grep -q "listening on" "$work/server30.out" || exit 1
"$build/bin/pralix-printer-app" add -d a -v pralix://127.0.0.30 -m pralix
"$build/bin/pralix-printer-app" add -d b -v pralix://127.0.0.20 -m pralix

start=$(now)
echo "b alone: $(submit b) after $(since "$start") s"
wait_for jobs_seen 1 && echo "b alone: at its print server after $(since "$start") s"
sleep 10.5  # b's policy is no longer kept: b's next job asks for it again
start=$(now)
submit a >"$work/a.status" &
first=$!
sleep 0.5  # a's job is waiting on its print server
b=$(now)
echo "b while a waits: $(submit b) after $(since "$b") s"
wait_for jobs_seen 2 && echo "b while a waits: at its print server after $(since "$b") s"
wait "$first"
echo "a: $(cat "$work/a.status") after $(since "$start") s"
start=$(now)
echo "a again: $(submit a) after $(since "$start") s"
sleep 10.5  # a's refusal is no longer kept
start=$(now)
twins=()
for _ in 1 2; do
  (echo "a, one of two at once: $(submit a) after $(since "$start") s") &
  twins+=($!)
done
wait "${twins[@]}"
