#!/usr/bin/env bash
# The main job: builds the Linux library, starts the reference print server
# on loopback, and prints examples/sample.ps through the hooks, as the
# spooler drives them, to the server's raw print port; the server prints
# what it learned from the job's ticket. A copy of the job as printed goes to
# build/sample.prn. The ticket comes from the driver's stored options (edit
# them with build/linux/bin/umpd-options). Extra arguments go to umpd-spool.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh linux
cmake --preset linux >/dev/null
cmake --build --preset linux -j "$(nproc)" --target umpd-spool umpd umpd-options umpd-printserver >/dev/null
bin=build/linux/bin

"$bin/umpd-printserver" --address 127.0.0.1 --port 8163 --raw-port 9100 >build/printserver.out 2>&1 &
server=$!
trap 'kill -TERM "$server" 2>/dev/null || true; wait "$server" 2>/dev/null || true' EXIT
for _ in $(seq 50); do grep -q "listening on" build/printserver.out && break; sleep 0.1; done
grep -q "listening on" build/printserver.out || { cat build/printserver.out >&2; exit 1; }

"$bin/umpd-spool" --output build/sample.prn "$@" examples/sample.ps >/dev/null
echo "build/sample.prn: $(wc -c <build/sample.prn) bytes, the job as printed" >&2
"$bin/umpd-spool" --output 127.0.0.1:9100 "$@" examples/sample.ps
for _ in $(seq 50); do grep -q "job from" build/printserver.out && break; sleep 0.1; done
echo "--- what the print server learned from the job:" >&2
sed -n '/raw print port/,$p' build/printserver.out | tail -n +2 >&2
