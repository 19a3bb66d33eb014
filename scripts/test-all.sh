#!/usr/bin/env bash
# Builds the library both ways and runs every test:
#   Linux over the stand-in, under AddressSanitizer and UBSan, plain (with
#   the load test), and under ThreadSanitizer; the fuzzers for a bounded time;
#   Windows x64 DLL under Wine (fresh prefix, one persistent wineserver);
#   Windows x86 DLL built and checked statically (no 32-bit Wine here);
#   the distributable (dist/) from both.
# Each stage has a time budget; the whole run stays well under 90 minutes.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

# Each stage is told with the time the one before it took.
last_stage= last_start=$SECONDS
stage() {
  [ -z "$last_stage" ] || echo "--- $last_stage: $((SECONDS - last_start)) s"
  last_stage=$* last_start=$SECONDS
  echo; echo "=== $* ==="
}
budget() { local seconds=$1; shift; timeout --kill-after=30 "$seconds" "$@"; }

stage "dependencies"
budget 900 scripts/install-deps.sh all

stage "linux-asan: build and test (AddressSanitizer + UBSan)"
budget 900 cmake --preset linux-asan >/dev/null
budget 900 cmake --build --preset linux-asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 budget 600 ctest --preset linux-asan -j "$jobs"

stage "linux: build and test"
budget 900 cmake --preset linux >/dev/null
budget 900 cmake --build --preset linux -j "$jobs"
budget 600 ctest --preset linux -j "$jobs"

grep -h "^load:" build/linux/Testing/Temporary/LastTest.log || true

stage "linux-tsan: build and test (ThreadSanitizer)"
budget 900 cmake --preset linux-tsan >/dev/null
budget 900 cmake --build --preset linux-tsan -j "$jobs"
TSAN_OPTIONS=halt_on_error=1 budget 600 ctest --preset linux-tsan -j "$jobs"

stage "fuzzing (clang, libFuzzer): corpus regressions, then 45 s per fuzzer"
budget 900 scripts/fuzz.sh 45

stage "mingw-i686: build and check the DLL"
budget 900 cmake --preset mingw-i686 >/dev/null
budget 900 cmake --build --preset mingw-i686 -j "$jobs"
scripts/check-dll.sh build/mingw-i686/bin/umpd.dll i686
echo "x86: the DLL is built and checked statically only (export table, imports, stripped, PE32);"
echo "x86: none of its code runs here (no 32-bit Wine), so no x86 test counts as passed."

stage "mingw-x64: build, check the DLL, test under Wine"
# The Wine tests talk to the reference print server built natively above.
budget 900 cmake --preset mingw-x64 -DUMPD_NATIVE_PRINTSERVER="$PWD/build/linux/bin/umpd-printserver" >/dev/null
budget 900 cmake --build --preset mingw-x64 -j "$jobs"
scripts/check-dll.sh build/mingw-x64/bin/umpd.dll x86_64
for exe in build/mingw-x64/bin/*.exe; do
  bad=$(x86_64-w64-mingw32-objdump -p "$exe" | awk '/DLL Name:/ { print $3 }' |
        grep -viE '^(KERNEL32|msvcrt|USER32|WINSPOOL|SHELL32|ADVAPI32|WS2_32|WSOCK32)\.(dll|drv)$' || true)
  [ -z "$bad" ] || { echo "FAIL $exe imports non-system DLLs: $bad"; exit 1; }
done
# shellcheck source=scripts/wine-prefix.sh
source scripts/wine-prefix.sh
wine_prefix_start
budget 900 ctest --preset mingw-x64
# Again in a double-byte ANSI code page (932), which a Japanese locale gives Wine.
LC_ALL=ja_JP.UTF-8 budget 300 ctest --preset mingw-x64 -R 'CodePage|Conversions'

stage "distributable"
budget 600 scripts/make-dist.sh

stage "done"
scripts/test-ratio.sh
# The data search beside memchr and memmem on the same buffers: a short run, printed, never asserted.
budget 120 build/linux/bin/umpd_bench --benchmark_filter=Search --benchmark_min_time=0.1 2>&1 |
  grep '^search ' || true
echo "all stages passed in $SECONDS s"
