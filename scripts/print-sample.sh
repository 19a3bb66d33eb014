#!/usr/bin/env bash
# The main job: builds the Linux library and prints examples/sample.ps
# through its hooks, as the spooler drives them, to build/sample.prn.
# Extra arguments go to umpd-spool (for example --chunk 7 or --abort).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh linux
cmake --preset linux >/dev/null
cmake --build --preset linux -j "$(nproc)" --target umpd-spool umpd >/dev/null
build/linux/bin/umpd-spool --output build/sample.prn "$@" examples/sample.ps
if cmp -s examples/sample.ps build/sample.prn; then
  echo "build/sample.prn: the job as printed ($(wc -c <build/sample.prn) bytes)" >&2
else
  echo "build/sample.prn differs from the job:" >&2
  diff <(cat examples/sample.ps) build/sample.prn | head -60 >&2 || true
fi
