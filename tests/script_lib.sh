# Sourced by shell tests (given build, net, work, sample): a fresh work, print servers by process id, golden files.
rm -rf "$work"
mkdir -p "$work/tmp"
pids=()
trap 'kill "${pids[@]}" 2>/dev/null; wait' EXIT
until_ok() {  # until_ok TENTHS COMMAND...: until COMMAND succeeds, at most TENTHS tenths of a second
  for _ in $(seq "$1"); do "${@:2}" && return 0; sleep 0.1; done
  return 1
}
server() {  # server HOST OPTIONS...: a reference print server on NET.HOST, its output in serverHOST.out
  "$build/bin/umpd-printserver" --address "$net$1" --raw-port 9100 "${@:2}" >"$work/server$1.out" 2>&1 &
  pids+=($!)
  until_ok 50 grep -q "listening on" "$work/server$1.out" || { cat "$work/server$1.out"; exit 1; }
}
golden() {  # golden OUT GOLDEN: OUT, addresses, paths and peers as words, is GOLDEN (UPDATE_GOLDEN=1 rewrites it)
  # The peer first: on a test network of 127.0.0. it would otherwise read "NET.1:port".
  sed -i -e 's/job from [0-9.]*:[0-9]*/job from PEER/' -e "s/${net//./\\.}/NET./g" -e "s|$work|WORK|g" \
    -e "s|${sample:-SAMPLE}|SAMPLE|g" "$1"
  [ -z "${UPDATE_GOLDEN:-}" ] || cp "$1" "$2"
  diff -u "$2" "$1"
}
