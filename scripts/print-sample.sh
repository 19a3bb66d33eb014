#!/usr/bin/env bash
# The main job: builds the Linux library, starts the reference print server
# on loopback (it requires a user ID and password and accepts jsmith with
# "letmein"), and prints examples/sample.ps through the hooks, as the spooler
# drives them, twice: to build/sample.prn and to the server's raw print port,
# where the server prints what it learned from the job's ticket. The job
# start runs the secure-access validation; the scripted user answers its
# dialogs: the server address (first use: the script marks the store so),
# then the identity. The rest of the ticket comes from the driver's stored
# options (edit them with build/linux/bin/umpd-options). Extra arguments go
# to umpd-spool.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh linux
cmake --preset linux >/dev/null
cmake --build --preset linux -j "$(nproc)" --target umpd-spool umpd umpd-options umpd-printserver >/dev/null
bin=build/linux/bin

log=build/printserver.log
rm -f "$log"
"$bin/umpd-printserver" --address 127.0.0.1 --port 8163 --raw-port 9100 --require user,password \
  --accept jsmith:letmein: --log "$log" >build/printserver.out 2>&1 &
server=$!
trap 'kill -TERM "$server" 2>/dev/null || true; wait "$server" 2>/dev/null || true' EXIT
for _ in $(seq 50); do grep -q "listening on" build/printserver.out && break; sleep 0.1; done
grep -q "listening on" build/printserver.out || { cat build/printserver.out >&2; exit 1; }

identity="Secure Access: 1112=jsmith, 1113=letmein, OK"
"$bin/umpd-options" set bInitialConnection=1 >/dev/null
echo "--- the first job: the server address (first use), then the identity" >&2
"$bin/umpd-spool" --answer "IP Address: 1108=127.0.0.1, OK" --answer "$identity" \
  --output build/sample.prn "$@" examples/sample.ps >/dev/null
echo "build/sample.prn: $(wc -c <build/sample.prn) bytes, the job as printed" >&2
echo "--- the second job, to the print server's raw port: the identity only" >&2
"$bin/umpd-spool" --answer "$identity" --output 127.0.0.1:9100 "$@" examples/sample.ps
for _ in $(seq 50); do grep -q "job from" build/printserver.out && break; sleep 0.1; done
echo "--- what the print server was asked (its log):" >&2
cat "$log" >&2
echo "--- what the print server learned from the second job:" >&2
sed -n '/raw print port/,$p' build/printserver.out | tail -n +2 >&2
