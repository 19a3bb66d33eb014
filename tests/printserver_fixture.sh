#!/usr/bin/env bash
# Starts or stops the reference print server for a group of tests (a ctest
# fixture). It runs natively on loopback, also when the tests run under Wine.
#   printserver_fixture.sh start SERVER DIR ADDRESS [server options...]
#   printserver_fixture.sh stop DIR
set -eu
if [ "$1" = start ]; then
  server=$2 dir=$3 address=$4
  shift 4
  mkdir -p "$dir"
  "$server" --address "$address" --raw-port 0 --log "$dir/printserver.log" "$@" >"$dir/printserver.out" 2>&1 &
  echo $! >"$dir/printserver.pid"
  for _ in $(seq 50); do
    grep -q "listening on" "$dir/printserver.out" && exit 0
    sleep 0.1
  done
  cat "$dir/printserver.out" >&2
  exit 1
fi
pid=$(cat "$2/printserver.pid")
kill -TERM "$pid" 2>/dev/null || exit 0
# Stopped once gone, or a zombie waiting for whoever adopted it to reap it.
for _ in $(seq 50); do
  case "$(ps -o stat= -p "$pid" 2>/dev/null || true)" in "" | Z*) exit 0 ;; esac
  sleep 0.1
done
kill -KILL "$pid" 2>/dev/null || true
