#!/usr/bin/env bash
# A reference print server of a ctest fixture, natively on loopback (also for the Wine tests), its files in DIR/NAME.
#   printserver_fixture.sh DIR start SERVER NET NAME|HOST|OPTIONS | printserver_fixture.sh DIR stop NAME
set -eu
if [ "$2" = start ]; then
  IFS='|' read -r name host options <<<"$5"
  dir=$1/$name
  mkdir -p "$dir"
  # shellcheck disable=SC2086 # the options are words
  "$3" --address "$4$host" --raw-port 0 --log "$dir/printserver.log" $options >"$dir/printserver.out" 2>&1 &
  echo $! >"$dir/printserver.pid"
  for _ in $(seq 50); do grep -q "listening on" "$dir/printserver.out" && exit 0; sleep 0.1; done
  cat "$dir/printserver.out" >&2
  exit 1
fi
pid=$(cat "$1/$3/printserver.pid")
kill -TERM "$pid" 2>/dev/null || exit 0
# Stopped once gone, or a zombie waiting for whoever adopted it to reap it.
for _ in $(seq 50); do
  case "$(ps -o stat= -p "$pid" 2>/dev/null || true)" in "" | Z*) exit 0 ;; esac
  sleep 0.1
done
kill -KILL "$pid" 2>/dev/null || true
