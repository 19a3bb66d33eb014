#!/usr/bin/env bash
# What the printer application costs: a 256 MiB PostScript job (the backend benchmark's lines, no %%EndComments, so
# the library searches all of it) submitted over IPP on loopback, spooled by PAPPL and streamed through the hook
# library to a raw listener, against a plain socket copy of the same file to the same listener. Prints both times,
# their ratio (the goal: at most 2) and the application's peak resident memory. Root: it runs in a network and mount
# namespace of its own, its files in a tmpfs there.
#   bench/printer_app_bench.sh [BUILD_DIR]   (default build/linux)
set -u
build=$(cd "${1:-build/linux}" && pwd)
if [ -z "${BENCH_NAMESPACE:-}" ]; then
  [ "$(id -u)" = 0 ] || { echo "printer_app_bench: needs root (a network namespace of its own)" >&2; exit 1; }
  BENCH_NAMESPACE=1 exec unshare -n -m bash "$0" "$build"
fi
ip link set lo up && mount --make-rprivate / && mount -t tmpfs tmpfs /run || exit 1
work=/run/bench pids=()
mkdir -p "$work"
trap 'kill "${pids[@]}" 2>/dev/null; wait' EXIT
wait_for() { for _ in $(seq 1200); do "$@" && return 0; sleep 0.05; done; return 1; }  # a minute at most
jobs_seen() { [ "$(grep -c "^job from" "$work/server.out")" -ge "$1" ]; }
now() { date +%s.%N; }

line='0 0 1 setrgbcolor 100 100 50 50 rectfill % a comment with %% in it'
yes "$line" | head -c $((256 << 20)) >"$work/job.ps"
"$build/bin/umpd-printserver" --address 127.0.0.20 --raw-port 9100 >"$work/server.out" 2>&1 &
pids+=($!)
"$build/bin/pralix-printer-app" server -o listen-hostname=127.0.0.1 -o server-port=18631 \
  -o state-directory="$work/state" -o log-file="$work/app.log" >"$work/app.out" 2>&1 &
app=$! pids+=($!)
wait_for test -S /run/pralix-printer-app.sock && wait_for grep -q "listening on" "$work/server.out" || exit 1
"$build/bin/pralix-printer-app" add -d bench -v pralix://127.0.0.20 -m pralix

start=$(now)
ipptool -f "$work/job.ps" ipp://127.0.0.1:18631/ipp/print/bench print-job.test >/dev/null || exit 1
uploaded=$(now)
wait_for jobs_seen 1 || { echo "printer_app_bench: the job did not arrive" >&2; exit 1; }
through=$(now)
bash -c 'cat "$0" >/dev/tcp/127.0.0.20/9100' "$work/job.ps"
wait_for jobs_seen 2 || exit 1
plain=$(now)
grep "^job from" "$work/server.out" | sed 's/^job from [0-9.:]*/job:/'
awk -v s="$start" -v u="$uploaded" -v t="$through" -v p="$plain" -v rss="$(awk '/VmHWM/ { print $2 }' "/proc/$app/status")" \
  'BEGIN { printf "through the printer application: %.2f s (of which the IPP upload %.2f s)\n", t - s, u - s
           printf "plain socket copy:               %.2f s\n", p - t
           printf "ratio:                           %.2f (goal: at most 2)\n", (t - s) / (p - t)
           printf "application peak resident memory: %d KiB\n", rss }'
