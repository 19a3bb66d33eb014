#!/usr/bin/env bash
# Builds the fuzzers (preset linux-fuzz), runs their corpus regressions, then
# fuzzes each for SECONDS (default 45), as many at once as there are cores.
# New inputs and any crash go to a directory outside the repository; the
# corpora in fuzz/corpus are only read. Prints each fuzzer's executions and
# coverage; exits non-zero when a fuzzer crashed, hung or found a leak.
#   fuzz.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-45}
[[ $seconds =~ ^[1-9][0-9]*$ ]] || { echo "usage: fuzz.sh [SECONDS]" >&2; exit 2; }
fuzzers=(fuzz_splice fuzz_search fuzz_store fuzz_text fuzz_frames fuzz_replies)
bin=build/linux-fuzz/bin
started=$SECONDS

scripts/install-deps.sh fuzz
cmake --preset linux-fuzz >/dev/null
cmake --build --preset linux-fuzz -j "$(nproc)"
ctest --preset linux-fuzz

work=$(mktemp -d "${TMPDIR:-/tmp}/umpd-fuzz.XXXXXX")
echo "new inputs and crashes: $work"

# A run of fuzz_replies that the server leaves silent waits out the network
# wait (100 ms): such inputs get less of the time, as their cost says.
options_of() {
  case $1 in
    fuzz_replies) echo -entropic_scale_per_exec_time=1 ;;
  esac
}

# One fuzzer for the given time; its log is $work/NAME.log, its status $work/NAME.rc.
fuzz_one() {
  local f=$1 rc=0
  mkdir -p "$work/$f/new"
  # shellcheck disable=SC2046
  timeout --kill-after=10 $((seconds + 120)) "$bin/$f" -max_total_time="$seconds" -timeout=10 $(options_of "$f") \
    -artifact_prefix="$work/$f/" "$work/$f/new" "fuzz/corpus/$f" >"$work/$f.log" 2>&1 || rc=$?
  echo "$rc" >"$work/$f.rc"
}

slots=$(nproc)
pids=()
for f in "${fuzzers[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge "$slots" ]; do wait -n || true; done
  fuzz_one "$f" &
  pids+=($!)
done
for pid in "${pids[@]}"; do wait "$pid" || true; done

failed=0
echo
printf '%-13s %12s %8s %8s %8s  %s\n' fuzzer executions cov ft exec/s status
for f in "${fuzzers[@]}"; do
  rc=$(cat "$work/$f.rc" 2>/dev/null || echo 1)
  done_line=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$work/$f.log" | tail -1 || true)
  execs=$(sed -nE 's/^#([0-9]+).*/\1/p' <<<"$done_line")
  cov=$(sed -nE 's/.* cov: ([0-9]+).*/\1/p' <<<"$done_line")
  ft=$(sed -nE 's/.* ft: ([0-9]+).*/\1/p' <<<"$done_line")
  rate=$(sed -nE 's/.* exec\/s: ([0-9]+).*/\1/p' <<<"$done_line")
  status=ok
  if [ "$rc" != 0 ] || [ -z "$done_line" ]; then status="FAILED (exit $rc)"; failed=1; fi
  printf '%-13s %12s %8s %8s %8s  %s\n' "$f" "${execs:--}" "${cov:--}" "${ft:--}" "${rate:--}" "$status"
  [ -n "$done_line" ] && echo "    $done_line"
done

if [ "$failed" != 0 ]; then
  for f in "${fuzzers[@]}"; do
    [ "$(cat "$work/$f.rc" 2>/dev/null || echo 1)" = 0 ] && continue
    echo
    echo "=== $f: end of its log ($work/$f.log) ==="
    tail -40 "$work/$f.log"
    ls "$work/$f"/crash-* "$work/$f"/timeout-* "$work/$f"/leak-* "$work/$f"/oom-* 2>/dev/null || true
  done
  echo "fuzzing found a fault; the inputs are kept in $work" >&2
  exit 1
fi
rm -rf "$work"
echo "fuzzing done in $((SECONDS - started)) s"
