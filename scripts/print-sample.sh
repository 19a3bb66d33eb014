#!/usr/bin/env bash
# The main job: builds the Linux library and prints examples/sample.ps
# through its hooks, as the spooler drives them, to build/sample.prn, with
# the job ticket from the driver's stored options (edit them with
# build/linux/bin/umpd-options). Extra arguments go to umpd-spool (for
# example --chunk 7 or --abort).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh linux
cmake --preset linux >/dev/null
cmake --build --preset linux -j "$(nproc)" --target umpd-spool umpd umpd-options >/dev/null
build/linux/bin/umpd-spool --output build/sample.prn "$@" examples/sample.ps
if [ -f build/sample.prn ]; then
  lines=$(grep -a -c -E '^(%%PRALIX: |statusdict )' build/sample.prn || true)
  echo "build/sample.prn: $(wc -c <build/sample.prn) bytes, the job with a ticket of $lines lines:" >&2
  grep -a -E '^(%%PRALIX: |statusdict )' build/sample.prn | tr -d '\r' >&2 || true
fi
