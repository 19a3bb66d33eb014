#!/usr/bin/env bash
# Builds the library both ways and runs every test:
#   Linux over the stand-in, under AddressSanitizer and UBSan, plain (with
#   the load test), and under ThreadSanitizer; the fuzzers for a bounded time;
#   the Windows x64 DLL under Wine and the x86 DLL under 32-bit Wine (one
#   fresh prefix, one persistent wineserver), each checked statically too;
#   the distributable (dist/) from both.
# Each stage has a time budget; the whole run stays well under 90 minutes.
# From a terminal it runs as on CI, where there is none: no stage has the
# terminal (see budget), only the dependencies' sudo may ask for a password.
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
# A command within its time budget, in a session of its own without a controlling terminal and with standard input
# from /dev/null. timeout runs it in a background process group, where a program that touches the terminal (apt-get
# restoring its settings, ipptool asking for a password on a 401) would be stopped until the budget ran out; without
# a terminal, as on CI, such a program goes on without it. Output still goes where this script's goes.
budget_pid=
budget() {
  local seconds=$1 status=0; shift
  setsid -w timeout --kill-after=30 "$seconds" "$@" </dev/null &
  budget_pid=$!
  wait "$budget_pid" || status=$?
  budget_pid=
  return "$status"
}
# Ctrl-C at the terminal reaches this script alone: it stops the running command's session too.
trap '[ -z "$budget_pid" ] || kill -TERM -- "-$budget_pid" 2>/dev/null; exit 130' INT TERM

# The dependencies keep the terminal (timeout --foreground), so that sudo can ask for a password there;
# install-deps.sh runs apt itself without it.
stage "dependencies"
timeout --foreground --kill-after=30 900 scripts/install-deps.sh all </dev/null

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

# The Windows builds: the DLL and every program checked statically, then the tests under Wine, which talk to the
# reference print server built natively above.
windows_build() {  # windows_build PRESET ARCH
  budget 900 cmake --preset "$1" -DUMPD_NATIVE_PRINTSERVER="$PWD/build/linux/bin/umpd-printserver" >/dev/null
  budget 900 cmake --build --preset "$1" -j "$jobs"
  scripts/check-dll.sh "build/$1/bin/umpd.dll" "$2"
  local exe bad
  for exe in "build/$1/bin/"*.exe; do
    bad=$("$2-w64-mingw32-objdump" -p "$exe" | awk '/DLL Name:/ { print $3 }' |
          grep -viE '^(KERNEL32|msvcrt|USER32|WINSPOOL|SHELL32|ADVAPI32|WS2_32|WSOCK32)\.(dll|drv)$' || true)
    [ -z "$bad" ] || { echo "FAIL $exe imports non-system DLLs: $bad"; exit 1; }
  done
}
# The preset's tests, then again in a double-byte ANSI code page (932), which a Japanese locale gives Wine. One at a
# time: the tests that print take turns under Wine in any case (tests/CMakeLists.txt says why).
windows_tests() {  # windows_tests PRESET
  budget 900 ctest --preset "$1" --output-junit wine-tests.xml
  LC_ALL=ja_JP.UTF-8 budget 300 ctest --preset "$1" -R 'CodePage|Conversions'
}
# What the main run of PRESET's tests counted: "N tests, P passed, S skipped".
counted() {
  tr '\n' ' ' <"build/$1/wine-tests.xml" | sed -n 's/^.*<testsuite [^>]*tests="\([0-9]*\)"[^>]*failures="\([0-9]*\)"[^>]*skipped="\([0-9]*\)".*$/\1 \2 \3/p' |
    { read -r t f s; echo "$t tests, $((t - f - s)) passed, $s skipped"; }
}

stage "mingw-x64: build, check the DLL, test under Wine"
windows_build mingw-x64 x86_64
# shellcheck source=scripts/wine-prefix.sh
source scripts/wine-prefix.sh
wine_prefix_start
windows_tests mingw-x64

stage "mingw-i686: build, check the DLL, test under 32-bit Wine"
windows_build mingw-i686 i686
# Without 32-bit Wine, or where the kernel runs no 32-bit programs, the x86 tests are skipped, loudly. Where it runs,
# the test programs must list their tests: a 32-bit program that Wine does not really run exits 0 printing nothing,
# which would leave its tests out unnoticed.
x86_skipped=
if [ ! -x "$WINE32_LOADER" ]; then
  x86_skipped="no 32-bit Wine ($WINE32_LOADER, Debian's wine32:i386: see scripts/install-deps.sh)"
elif ! loader=$(setsid -w timeout 60 "$WINE32_LOADER" --version </dev/null 2>&1); then
  x86_skipped="32-bit Wine does not start: $loader"
  if [[ $loader == *"Exec format error"* ]]; then x86_skipped+=" (this kernel runs no 32-bit programs)"; fi
else
  setsid -w timeout 120 "$WINE32_LOADER" build/mingw-i686/bin/umpd_unit_tests.exe --gtest_list_tests \
    </dev/null >build/mingw-i686/listed-tests.txt 2>&1 || true
  grep -q '^HookTest\.$' build/mingw-i686/listed-tests.txt ||
    { echo "FAIL x86: under $loader the test program lists no tests:"; cat build/mingw-i686/listed-tests.txt; exit 1; }
fi
if [ -z "$x86_skipped" ]; then
  windows_tests mingw-i686
else
  echo "x86: SKIPPED, none of its tests ran: $x86_skipped"
fi

stage "distributable"
budget 600 scripts/make-dist.sh

stage "done"
scripts/test-ratio.sh
# The data search beside memchr and memmem on the same buffers: a short run, printed, never asserted.
budget 120 build/linux/bin/umpd_bench --benchmark_filter=Search --benchmark_min_time=0.1 2>&1 |
  grep '^search ' || true
echo "under Wine: x64 DLL $(counted mingw-x64); x86 DLL ${x86_skipped:+SKIPPED: }${x86_skipped:-$(counted mingw-i686)}"
echo "all stages passed in $SECONDS s"
