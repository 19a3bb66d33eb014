#!/usr/bin/env bash
# Plants each fault of this folder (one patch each, its first line saying
# the fault in plain words) in a scratch copy of the sources, rebuilds the
# Linux build incrementally, runs its suite and tells which tests caught the
# fault, or that none did; then the catch rate. The suite stops at its
# first failure, which names the test that caught the fault. Slow (one to
# several minutes a fault): not part of CI.
#   scripts/planted-faults/run.sh [PATCH...]   (default: every *.patch here)
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
scratch=${PLANTED_SCRATCH:-/tmp/umpd-planted-faults}
net=${PLANTED_TEST_NET:-127.0.12.}
patches=("$@")
[ ${#patches[@]} -gt 0 ] || patches=("$here"/*.patch)

# The scratch copy: the committed sources, built once in full.
rm -rf "$scratch/src"
mkdir -p "$scratch/src"
git -C "$repo" archive HEAD | tar -x -C "$scratch/src"
cd "$scratch/src"
cmake --preset linux -DUMPD_TEST_NET="$net" -DUMPD_BENCHMARKS=OFF >/dev/null || exit 1
cmake --build --preset linux -j "$(nproc)" >/dev/null || { echo "the unplanted sources do not build"; exit 1; }

# Servers a stopped suite left running: only processes of this scratch
# build, each ended by its process id.
reap() {
  for exe in /proc/[0-9]*/exe; do
    case "$(readlink "$exe" 2>/dev/null)" in
      "$scratch/src/build/"*) pid=${exe#/proc/}; kill "${pid%/exe}" 2>/dev/null ;;
    esac
  done
  sleep 0.5
}

caught=0 total=0
printf '%-34s %-6s %s\n' "fault" "caught" "by"
for p in "${patches[@]}"; do
  name=$(basename "$p" .patch)
  total=$((total + 1))
  if ! patch -s -p1 --dry-run <"$p" >/dev/null; then
    printf '%-34s %-6s %s\n' "$name" "?" "the patch does not apply"
    continue
  fi
  patch -s -p1 <"$p"
  if ! cmake --build --preset linux -j "$(nproc)" >"$scratch/build.log" 2>&1; then
    by="(does not build)"
    result=?
  else
    timeout 900 ctest --preset linux -j "$(nproc)" --timeout 120 --stop-on-failure >"$scratch/ctest.log" 2>&1
    reap
    by=$(sed -n 's/^[[:space:]]*[0-9]* - \(.*\) (\(Failed\|Timeout\|SEGFAULT\|Subprocess aborted\|Exception\|Not Run\)).*/\1/p' \
         "$scratch/ctest.log" | grep -v '^printserver_' | head -4 | paste -sd, -)
    if [ -n "$by" ]; then result=yes; caught=$((caught + 1)); else result=NO; by="-"; fi
  fi
  printf '%-34s %-6s %s\n' "$name" "$result" "$by"
  patch -s -R -p1 <"$p"
done
cmake --build --preset linux -j "$(nproc)" >/dev/null 2>&1
echo "caught $caught of $total"
